import QtQuick
import QtTest
import Tallymere.Screens

TestCase {
    name: "Sources"

    function test_start_rules() {
        // No recognisable member: never.
        verify(!Sources.canStart("video", 0, "Sunday service", 1, "", ""));
        // The label must hold more than spaces and tabs.
        verify(!Sources.canStart("video", 1, " \t ", 1, "", ""));
        verify(Sources.canStart("video", 1, " x ", 1, "", ""));
        // Video needs files; camera a camera; stream an address.
        verify(!Sources.canStart("video", 1, "Sunday service", 0, "", ""));
        verify(Sources.canStart("video", 2, "Sunday service", 1, "", ""));
        verify(!Sources.canStart("camera", 1, "Sunday service", 3, "", ""));
        verify(Sources.canStart("camera", 1, "Sunday service", 0, "/dev/video0", ""));
        verify(Sources.canStart("stream", 1, "Sunday service", 0, "", "https://example.org/live.m3u8"));
        verify(Sources.canStart("stream", 1, "Sunday service", 0, "", "http://10.0.0.2:8080/feed"));
        verify(Sources.canStart("stream", 1, "Sunday service", 0, "", "file:///home/op/service.mp4"));
        verify(!Sources.canStart("stream", 1, "Sunday service", 0, "", "rtsp://10.0.0.2/stream"));
        verify(!Sources.canStart("stream", 1, "Sunday service", 0, "", ""));
        verify(!Sources.canStart("stream", 1, "Sunday service", 0, "", "example.org/live.m3u8"));
        verify(!Sources.canStart("stream", 0, "Sunday service", 0, "", "https://example.org/live.m3u8"));
    }

    function test_only_recordings_and_photos_are_accepted() {
        const urls = ["file:///tmp/a/notes.txt", "file:///tmp/a/Service.MP4", "file:///tmp/a/face.jpeg",
                      "file:///tmp/a/readme", "https://example.org/x.mp4"];
        const accepted = Sources.acceptedFiles(urls).map(u => u.toString());
        compare(accepted, ["file:///tmp/a/Service.MP4", "file:///tmp/a/face.jpeg"]);
        compare(Sources.acceptedFiles(["file:///tmp/a.txt", "file:///tmp/b.csv"]).length, 0);
        compare(Sources.paths(["file:///tmp/a%20b/c.mp4"]), ["/tmp/a b/c.mp4"]);
    }

    function test_modes_have_titles_and_details() {
        compare(Sources.modes(), ["quick", "standard", "thorough"]);
        compare(Sources.modes().map(m => Sources.modeTitle(m)), ["Quick", "Standard", "Thorough"]);
        for (const m of Sources.modes())
            verify(Sources.modeDetail(m).length > 10, m);
        compare(Sources.modeDetail("fast"), "");
    }

    function test_trimming_keeps_line_breaks() {
        compare(Sources.trimmed(" \tAda Lovelace \t"), "Ada Lovelace");
        compare(Sources.trimmed("\nAda\n"), "\nAda\n");
    }
}
