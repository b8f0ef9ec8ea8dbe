pragma Singleton
import QtQuick

// The screens' small decisions, kept apart from the drawing so they read (and test) as one list.
QtObject {
    // "Process again" is for finished, failed or cancelled services that have their recording.
    function canProcessAgain(status, sourcePaths) {
        return (status === "done" || status === "failed" || status === "cancelled")
               && !!sourcePaths && sourcePaths.length > 0;
    }

    // The members page's list of things to fix: members needing photos first, then the mislabel
    // warnings. `members` are {name, photoIssue} in the model's needs-attention order.
    function issues(members, warnings) {
        const lines = members.map(m => m.name + ": " + m.photoIssue);
        for (const w of warnings)
            lines.push(w);
        return lines;
    }

    // The tab a service's results open on: "review" when something needs double-checking, then
    // the command line's "--tab" (any value given there wins, a word that names no tab included).
    function initialTab(reviewCount, optionTab) {
        let tab = "present";
        if (reviewCount > 0)
            tab = "review";
        if (optionTab)
            tab = optionTab;
        return tab;
    }

    // The member tile's status: [symbol, hint]; the spinner while checking is drawn apart. The
    // hint is the member's readiness as the model gives it.
    function memberStatus(checking, goodPhotos, needsMorePhotos, readiness) {
        if (checking)
            return ["", "Checking photos"];
        if (goodPhotos === 0)
            return ["exclamationmark.triangle.fill", readiness];
        if (!needsMorePhotos)
            return ["checkmark.seal.fill", readiness];
        return ["exclamationmark.circle.fill", readiness];
    }

    // A member photo's status: [symbol, hint].
    function photoStatus(photo) {
        if (!photo.checked)
            return ["hourglass", "Checking"];
        if (photo.ok)
            return ["checkmark.circle.fill", photo.reason ? photo.reason : "Accepted"];
        return ["xmark.circle.fill", photo.reason];
    }

    // The new-service drop zone's text: nothing chosen, one file's name, or a count.
    function filesText(files) {
        if (!files || files.length === 0)
            return "Drop or choose";
        if (files.length === 1) {
            const s = files[0].toString();
            return decodeURIComponent(s.substring(s.lastIndexOf("/") + 1));
        }
        return files.length + " photos";
    }

    // The hint of a mark on a member's attendance strip: the service, its date and the line.
    function registerHint(label, date, mark, attended) {
        let line = attended ? "Present" : "Absent";
        if (mark === "corrected")
            line += " (corrected)";
        else if (mark === "review")
            line += ", to double-check";
        return (label ? label + " \u00b7 " : "") + date + " \u00b7 " + line;
    }

    // A follow-up line: "Away 4 services · last seen 3 Nov 2026" (`lastSeen` the date as text,
    // "" when never).
    function awayText(absenceRun, lastSeen) {
        return "Away " + absenceRun + " services \u00b7 " + (lastSeen ? "last seen " + lastSeen : "not seen yet");
    }

    // The trend's figures: "Last 4 services 123 · last 12 118 · up 4%" (`change` a fraction, or
    // undefined when there is none).
    function trendSummary(average4, average12, change) {
        let text = "Last 4 services " + average4.toFixed(1) + " \u00b7 last 12 " + average12.toFixed(1);
        if (change !== undefined && change !== null) {
            const percent = Math.round(change * 100);
            text += " \u00b7 " + (percent > 0 ? "up " + percent + "%" : percent < 0 ? "down " + -percent + "%" : "no change");
        }
        return text;
    }

    // A point's hint on the trend: the service, its date and its exact figures.
    function trendHint(label, date, point) {
        return (label ? label + " \u00b7 " : "") + date + "\n" + point.present + " present \u00b7 "
               + point.visitors + (point.visitors === 1 ? " visitor" : " visitors") + "\n4-service average "
               + point.average4.toFixed(1) + " \u00b7 12-service average " + point.average12.toFixed(1);
    }
}
