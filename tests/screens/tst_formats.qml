import QtQuick
import QtTest
import Tallymere.Components

TestCase {
    name: "Formats"

    function test_durations_through_the_core() {
        compare(Formats.dur(3725), "1h02m");
        compare(Formats.dur(NaN), "");
    }

    function test_clock_through_the_core() {
        compare(Formats.clock(0), "0:00:00");
        compare(Formats.clock(3725.4), "1:02:05");
        compare(Formats.clock(undefined), "");
        compare(Formats.clock(null), "");
    }

    function test_export_name_from_the_service_date() {
        compare(Formats.exportName(new Date(2024, 2, 10, 10, 30)), "attendance-2024-03-10.csv");
        // Late in the evening is still the same local day.
        compare(Formats.exportName(new Date(2024, 2, 10, 23, 59)), "attendance-2024-03-10.csv");
    }

    function test_short_date_has_no_time() {
        const text = Formats.shortDate(new Date(2024, 2, 10, 10, 30));
        verify(text.length > 0);
        verify(text.indexOf("10") >= 0, text);
        verify(text.indexOf(":") < 0, text);
        // The month by name, as the locale abbreviates it, never as a number.
        verify(text.indexOf("Mar") >= 0, text);
        verify(text.indexOf("/") < 0 && text.indexOf("03") < 0, text);
    }
}
