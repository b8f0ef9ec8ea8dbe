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
}
