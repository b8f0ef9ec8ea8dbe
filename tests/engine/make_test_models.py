#!/usr/bin/python3
"""Writes tiny ONNX face models for the engine tests.

usage: make_test_models.py OUT
       make_test_models.py --dynamic SOURCE TARGET

OUT receives one models folder per scenario (see SCENARIOS below and the tests that read them).
Detectors ignore their input and give constant outputs: rows at known anchors carry fixed scores,
boxes and landmarks, every other row is zero. The recogniser embeds a face as the mean colour of
its crop (blue, green, red) projected onto 512 values with recognizer_weights().

--dynamic writes a copy of a fixed-size detector whose input height and width are free, the form
of the buffalo_l detector, with its outputs listed in reverse order, for the converter to fix
again.
"""

import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

STRIDES = (8, 16, 32)
KPS = (0.5, -0.5, 1.5, -0.5, 1.0, 0.5, 0.5, 1.5, 1.5, 1.5)

# (stride, grid x, grid y, anchor, score, box distances, landmark offsets), in letterbox units.
DECODE = [
    (8, 20, 10, 1, 0.9, (1, 2, 3, 4), KPS),
    (16, 30, 5, 0, 0.5, (1, 1, 1, 1), KPS),
    (32, 3, 7, 1, 0.4999, (1, 1, 1, 1), KPS),
    (32, 15, 2, 0, 0.7, (2, 2, 2, 2), KPS),
    # Same box at equal scores from two strides: one face, their landmarks averaged.
    (8, 60, 60, 0, 0.8, (2, 2, 2, 2), (0.25,) * 10),
    (16, 30, 30, 1, 0.8, (1, 1, 1, 1), (0.75,) * 10),
    (8, 1, 1, 0, float("nan"), (1, 1, 1, 1), KPS),
]
SINGLE = [(8, 20, 10, 0, 0.9, (1, 1, 1, 1), KPS)]


def recognizer_weights(width=512):
    """weights[c][j] = cos(0.37 j + 1.3 c) for colour channel c (blue, green, red)."""
    j = np.arange(width, dtype=np.float64)
    return np.stack([np.cos(0.37 * j + 1.3 * c) for c in range(3)]).astype(np.float32)


def save(model, path):
    onnx.checker.check_model(model)
    onnx.save(model, path)


def make_model(nodes, inputs, outputs, initializers):
    graph = helper.make_graph(nodes, "test", inputs, outputs, initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 12)])
    model.ir_version = 7
    return model


def detector(size, rows):
    """A detector for a size x size input whose outputs are the given rows and zeros."""
    tables = {}
    for stride in STRIDES:
        n = 2 * (size // stride) ** 2
        tables[("score", stride)] = np.zeros((n, 1), np.float32)
        tables[("bbox", stride)] = np.zeros((n, 4), np.float32)
        tables[("kps", stride)] = np.zeros((n, 10), np.float32)
    for stride, gx, gy, anchor, score, box, kps in rows:
        r = 2 * (gy * (size // stride) + gx) + anchor
        tables[("score", stride)][r, 0] = score
        tables[("bbox", stride)][r] = box
        tables[("kps", stride)][r] = kps

    nodes, outputs, inits = [], [], []
    for stride in STRIDES:
        g = size // stride
        for kind, width in (("score", 1), ("bbox", 4), ("kps", 10)):
            name = f"{kind}_{stride}"
            # A zero convolution per grid cell ties the output to the input; the constant is laid
            # out as [1, 2 * width, g, g] so that transposing and reshaping gives rows location by
            # location, two anchors each.
            constant = tables[(kind, stride)].reshape(1, g, g, 2 * width).transpose(0, 3, 1, 2)
            inits += [
                numpy_helper.from_array(
                    np.zeros((2 * width, 3, stride, stride), np.float32), f"{name}_w"
                ),
                numpy_helper.from_array(np.zeros(2 * width, np.float32), f"{name}_b"),
                numpy_helper.from_array(np.ascontiguousarray(constant), f"{name}_c"),
                numpy_helper.from_array(np.array([1, -1, width], np.int64), f"{name}_shape"),
            ]
            nodes += [
                helper.make_node(
                    "Conv",
                    ["image", f"{name}_w", f"{name}_b"],
                    [f"{name}_conv"],
                    kernel_shape=[stride, stride],
                    strides=[stride, stride],
                ),
                helper.make_node("Add", [f"{name}_conv", f"{name}_c"], [f"{name}_sum"]),
                helper.make_node("Transpose", [f"{name}_sum"], [f"{name}_t"], perm=[0, 2, 3, 1]),
                helper.make_node("Reshape", [f"{name}_t", f"{name}_shape"], [name]),
            ]
            outputs.append(
                helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, 2 * g * g, width])
            )
    image = helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, size, size])
    return make_model(nodes, [image], outputs, inits)


def recognizer(width=512, flat=False, zero=False):
    """Mean colour of each crop times recognizer_weights(): [N, width], or [1, N * width]."""
    weights = np.zeros((3, width), np.float32) if zero else recognizer_weights(width)
    inits = [
        numpy_helper.from_array(weights, "weights"),
        numpy_helper.from_array(np.array([1, -1] if flat else [-1, width], np.int64), "shape"),
    ]
    nodes = [
        helper.make_node("GlobalAveragePool", ["image"], ["mean"]),
        helper.make_node("Flatten", ["mean"], ["colour"], axis=1),
        helper.make_node("MatMul", ["colour", "weights"], ["projected"]),
        helper.make_node("Reshape", ["projected", "shape"], ["embedding"]),
    ]
    image = helper.make_tensor_value_info("image", TensorProto.FLOAT, ["N", 3, 112, 112])
    out_shape = [1, "M"] if flat else ["N", width]
    out = helper.make_tensor_value_info("embedding", TensorProto.FLOAT, out_shape)
    return make_model(nodes, [image], [out], inits)


def write_folder(folder, files):
    os.makedirs(folder, exist_ok=True)
    for name, content in files.items():
        path = os.path.join(folder, name)
        if isinstance(content, bytes):
            with open(path, "wb") as f:
                f.write(content)
        else:
            save(content, path)


def make_all(out):
    rec = recognizer()
    single = {s: detector(s, SINGLE) for s in (640, 1280, 1920)}
    write_folder(os.path.join(out, "decode"), {"ArcFace.onnx": rec, "SCRFD640.onnx": detector(640, DECODE)})
    write_folder(
        os.path.join(out, "single"),
        {"ArcFace.onnx": rec, **{f"SCRFD{s}.onnx": m for s, m in single.items()}},
    )
    write_folder(
        os.path.join(out, "no1920"),
        {"ArcFace.onnx": rec, "SCRFD640.onnx": single[640], "SCRFD1280.onnx": single[1280]},
    )
    truncated = single[1280].SerializeToString()
    write_folder(
        os.path.join(out, "corrupt"),
        {
            "ArcFace.onnx": rec,
            "SCRFD640.onnx": b"this is not a model\n" * 10,
            "SCRFD1280.onnx": truncated[: len(truncated) // 3],
        },
    )
    write_folder(os.path.join(out, "badrec"), {"ArcFace.onnx": b"\x08\x07garbage" * 50})
    write_folder(os.path.join(out, "flat"), {"ArcFace.onnx": recognizer(flat=True)})
    write_folder(os.path.join(out, "short"), {"ArcFace.onnx": recognizer(width=256)})
    write_folder(os.path.join(out, "wide"), {"ArcFace.onnx": recognizer(width=600)})
    write_folder(os.path.join(out, "zero"), {"ArcFace.onnx": recognizer(zero=True)})


def make_dynamic(source, target):
    """A copy of a fixed-size detector with free height and width, like the buffalo_l export, and
    its outputs in reverse order."""
    model = onnx.load(source)
    weights = {t.name for t in model.graph.initializer}
    for value in model.graph.input:
        if value.name in weights:
            continue
        dims = value.type.tensor_type.shape.dim
        dims[2].Clear()
        dims[2].dim_param = "height"
        dims[3].Clear()
        dims[3].dim_param = "width"
    for k, value in enumerate(model.graph.output):
        for d, dim in enumerate(value.type.tensor_type.shape.dim):
            dim.Clear()
            dim.dim_param = f"out{k}_{d}"
    # Outputs listed in another order than the usual export's, which the converter must sort out.
    reordered = list(model.graph.output)[::-1]
    del model.graph.output[:]
    model.graph.output.extend(reordered)
    del model.graph.value_info[:]
    onnx.save(model, target)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--dynamic":
        make_dynamic(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 2:
        make_all(sys.argv[1])
    else:
        sys.exit(__doc__)
