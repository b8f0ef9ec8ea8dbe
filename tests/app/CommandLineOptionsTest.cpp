// The application's command-line options: exact matching, first occurrence, values that are
// refused, and what the window does with them in which order.

#include "CommandLineOptions.h"

#include "AppTestSupport.h"

#include <QtTest/QtTest>

using namespace tallymere;

namespace {

QStringList actionNames(const QVariantList& actions) {
    QStringList names;
    for (const QVariant& action : actions)
        names << action.toMap().value("action").toString();
    return names;
}

} // namespace

class CommandLineOptionsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sectionAcceptsOnlyTheThreeSections_data();
    void sectionAcceptsOnlyTheThreeSections();
    void firstOccurrenceCountsAndAValueMustFollow();
    void openServiceLatestResolvesToTheFirstServiceOrNothing();
    void liveStopAfterNeedsAWholeNumberOfSeconds_data();
    void liveStopAfterNeedsAWholeNumberOfSeconds();
    void liveStreamNeedsAnAddress();
    void tabKeepsItsValueAndSaysWhetherItNamesATab();
    void windowActsInTheFixedOrder();
};

void CommandLineOptionsTest::sectionAcceptsOnlyTheThreeSections_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("section");
    QTest::newRow("members") << QStringList{"--section", "members"} << "members";
    QTest::newRow("home") << QStringList{"--section", "home"} << "home";
    QTest::newRow("services") << QStringList{"--section", "services"} << "services";
    QTest::newRow("other word") << QStringList{"--section", "settings"} << "";
    QTest::newRow("wrong case") << QStringList{"--section", "Members"} << "";
    QTest::newRow("not exact") << QStringList{"--section=members"} << "";
    QTest::newRow("last on the line") << QStringList{"--new-service", "--section"} << "";
}

void CommandLineOptionsTest::sectionAcceptsOnlyTheThreeSections() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, section);
    const CommandLineOptions options(arguments);
    QCOMPARE(options.section(), section);
    QCOMPARE(actionNames(options.windowActions("S1")).contains("section"), !section.isEmpty());
}

void CommandLineOptionsTest::firstOccurrenceCountsAndAValueMustFollow() {
    const CommandLineOptions options({"--take-attendance", "a.mp4", "--take-attendance", "b.mp4",
                                      "--open-member", "M0002", "--open-member", "M0003",
                                      "--section", "settings", "--section", "members"});
    QCOMPARE(options.takeAttendance(), std::optional<QString>("a.mp4"));
    QCOMPARE(options.openMember(), QString("M0002"));
    // Only the first "--section" counts, even though a later one names a section.
    QCOMPARE(options.section(), QString());

    const CommandLineOptions last({"--open-member", "M0001", "--take-attendance"});
    QVERIFY(!last.takeAttendance());
    QCOMPARE(last.openMember(), QString("M0001"));
    QVERIFY(!CommandLineOptions(QStringList{}).newService());
    QVERIFY(CommandLineOptions({"x", "--new-service"}).newService());
}

void CommandLineOptionsTest::openServiceLatestResolvesToTheFirstServiceOrNothing() {
    const CommandLineOptions latest({"--open-service", "latest"});
    QVERIFY(latest.windowActions("").isEmpty());
    const QVariantList actions = latest.windowActions("20260308-093000-a1b2");
    QCOMPARE(actions.size(), 1);
    QCOMPARE(actions.front().toMap().value("value").toString(), QString("20260308-093000-a1b2"));

    const CommandLineOptions named({"--open-service", "20260101-080000-0000"});
    QCOMPARE(named.windowActions("").front().toMap().value("value").toString(),
             QString("20260101-080000-0000"));
}

void CommandLineOptionsTest::liveStopAfterNeedsAWholeNumberOfSeconds_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<double>("seconds"); // negative: ignored
    QTest::newRow("whole") << "30" << 30.0;
    QTest::newRow("decimal") << "1.5" << 1.5;
    QTest::newRow("zero") << "0" << 0.0;
    QTest::newRow("with a unit") << "1.5s" << -1.0;
    QTest::newRow("word") << "soon" << -1.0;
    QTest::newRow("empty") << "" << -1.0;
    QTest::newRow("infinite") << "inf" << -1.0;
    QTest::newRow("not a number") << "nan" << -1.0;
    QTest::newRow("negative") << "-3" << -1.0;
}

void CommandLineOptionsTest::liveStopAfterNeedsAWholeNumberOfSeconds() {
    QFETCH(QString, value);
    QFETCH(double, seconds);
    const CommandLineOptions options({"--live-stop-after", value});
    QCOMPARE(options.hasLiveStopAfter(), seconds >= 0);
    if (seconds >= 0) QCOMPARE(*options.liveStopAfter(), seconds);
}

void CommandLineOptionsTest::liveStreamNeedsAnAddress() {
    QCOMPARE(CommandLineOptions({"--live-stream", "https://example.org/live/index.m3u8"})
                 .liveStream()
                 .host(),
             QString("example.org"));
    QVERIFY(CommandLineOptions({"--live-stream", "just words"}).liveStream().isEmpty());
    QVERIFY(CommandLineOptions({"--live-stream", "http://[broken"}).liveStream().isEmpty());
    QVERIFY(
        actionNames(CommandLineOptions({"--live-stream", "nothing"}).windowActions("")).isEmpty());
}

void CommandLineOptionsTest::tabKeepsItsValueAndSaysWhetherItNamesATab() {
    for (const char* tab : {"present", "review", "absent", "visitors"}) {
        const CommandLineOptions options({"--tab", tab});
        QCOMPARE(options.tab(), QString(tab));
        QVERIFY(options.tabKnown());
    }
    const CommandLineOptions other({"--tab", "everyone"});
    QCOMPARE(other.tab(), QString("everyone"));
    QVERIFY(!other.tabKnown());
}

void CommandLineOptionsTest::windowActsInTheFixedOrder() {
    // Given in the reverse order; acted on as section, open-service, new-service, live-stream,
    // open-member.
    const CommandLineOptions options({"--open-member", "M0001", "--live-stream",
                                      "file:///tmp/a.mp4", "--new-service", "--open-service", "S9",
                                      "--section", "home"});
    QCOMPARE(actionNames(options.windowActions("S1")),
             (QStringList{"section", "openService", "newService", "liveStream", "openMember"}));
}

TALLYMERE_APP_TEST(CommandLineOptionsTest);

#include "CommandLineOptionsTest.moc"
