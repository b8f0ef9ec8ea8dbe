pragma Singleton
import QtQuick

// The one table from the symbols the screens name to Material Icons ligatures. Every icon on every
// screen is looked up here, so a symbol keeps one glyph, and one meaning, everywhere.
QtObject {
    readonly property var glyphs: ({
        "house":                            "home",
        "list.bullet.rectangle":            "list_alt",
        "person.2":                         "people",
        "cpu":                              "memory",
        "exclamationmark.triangle":         "report_problem",
        "exclamationmark.triangle.fill":    "warning",
        "plus.viewfinder":                  "add_a_photo",
        "dot.radiowaves.left.and.right":    "wifi_tethering",
        "film":                             "movie",
        "person.fill.checkmark":            "how_to_reg",
        "person.fill.xmark":                "person_off",
        "person.fill.questionmark":         "person_search",
        "face.smiling":                     "face",
        "checkmark.seal.fill":              "verified",
        "plus":                             "add",
        "magnifyingglass":                  "search",
        "person.badge.plus":                "person_add",
        "photo":                            "photo",
        "exclamationmark.circle.fill":      "error",
        "exclamationmark.circle":           "error_outline",
        "xmark.circle":                     "highlight_off",
        "person.slash":                     "no_accounts",
        "photo.badge.plus":                 "add_photo_alternate",
        "pencil":                           "edit",
        "trash":                            "delete",
        "hourglass":                        "hourglass_empty",
        "checkmark.circle.fill":            "check_circle",
        "xmark.circle.fill":                "cancel",
        "photo.on.rectangle.angled":        "photo_library",
        "square.and.arrow.down":            "file_download",
        "arrow.clockwise":                  "refresh",
        "xmark":                            "close",
        "bolt.fill":                        "bolt",
        "photo.stack":                      "collections",
        "person.crop.square":               "portrait",
        "person":                           "person_outline",
        "person.fill":                      "person",
        "calendar":                         "calendar_today",
        "textformat":                       "text_fields",
        "arrow.down.doc":                   "move_to_inbox",
        "hare":                             "directions_run",
        "gauge.with.dots.needle.50percent": "speed",
        "scope":                            "gps_fixed",
        "web.camera":                       "videocam",
        "link":                             "link",
        "play.fill":                        "play_arrow",
        "record.circle":                    "fiber_manual_record",
        "viewfinder":                       "crop_free",
        "stop.fill":                        "stop",
        "arrow.right":                      "arrow_forward",
        "checkmark":                        "check",
        "clock":                            "schedule"
    })

    // The ligature for a symbol; "" for a symbol the table lacks (nothing is drawn then).
    function glyph(symbol) {
        return glyphs[symbol] || "";
    }
}
