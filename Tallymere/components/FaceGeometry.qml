pragma Singleton
import QtQuick

// Where a face of a frame lands on a preview that shows the whole frame centred with its aspect
// ratio kept (letterboxed or pillarboxed).
QtObject {
    // {s, ox, oy}: the frame's scale and offsets inside a view of that size.
    function fit(viewWidth, viewHeight, frameWidth, frameHeight) {
        if (!(frameWidth > 0) || !(frameHeight > 0))
            return { s: 0, ox: viewWidth / 2, oy: viewHeight / 2 };
        const s = Math.min(viewWidth / frameWidth, viewHeight / frameHeight);
        return { s: s, ox: (viewWidth - frameWidth * s) / 2, oy: (viewHeight - frameHeight * s) / 2 };
    }

    // The view rectangle {x, y, width, height} of a box [x1, y1, x2, y2] in frame pixels.
    function faceRect(box, viewWidth, viewHeight, frameWidth, frameHeight) {
        const f = fit(viewWidth, viewHeight, frameWidth, frameHeight);
        return { x: f.ox + f.s * box[0], y: f.oy + f.s * box[1],
                 width: f.s * (box[2] - box[0]), height: f.s * (box[3] - box[1]) };
    }
}
