#!/usr/bin/python3
"""Writes a random-weight IResNet-50 of the product recogniser's exact shape, for benchmarks.

The shape of ArcFace R50 (buffalo_l's w600k_r50.onnx): input [N,3,112,112] named "input.1";
a 3x3 convolution to 64 channels + BN + PReLU stem; four stages of [3, 4, 14, 3] blocks of widths
64, 128, 256, 512, each block BN -> conv3x3 -> BN -> PReLU -> conv3x3 (stride 2 in a stage's first
block) -> BN, plus a 1x1 convolution + BN shortcut where the shape changes; then BN, flatten of
512x7x7, a fully connected layer to 512 and a last BN; output "683" [N,512].
Batch-normalisation statistics are drawn so that activations keep a sane scale through all 24
blocks (each block's last BN starts small, as trained residual networks end up).

Usage: make_iresnet50.py OUT.onnx [--seed N]
"""

import argparse
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


class Builder:
    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.nodes = []
        self.inits = []
        self.count = 0

    def name(self, prefix):
        self.count += 1
        return f"{prefix}_{self.count}"

    def const(self, prefix, array):
        n = self.name(prefix)
        self.inits.append(numpy_helper.from_array(array.astype(np.float32), n))
        return n

    def conv(self, x, cin, cout, k, stride):
        fan_in = cin * k * k
        w = self.rng.normal(0.0, np.sqrt(2.0 / fan_in), (cout, cin, k, k))
        out = self.name("conv")
        self.nodes.append(
            helper.make_node(
                "Conv",
                [x, self.const("w", w)],
                [out],
                kernel_shape=[k, k],
                strides=[stride, stride],
                pads=[k // 2] * 4,
            )
        )
        return out

    def bn(self, x, c, gamma=(0.8, 1.2)):
        out = self.name("bn")
        self.nodes.append(
            helper.make_node(
                "BatchNormalization",
                [
                    x,
                    self.const("gamma", self.rng.uniform(*gamma, c)),
                    self.const("beta", self.rng.normal(0.0, 0.05, c)),
                    self.const("mean", self.rng.normal(0.0, 0.05, c)),
                    self.const("var", self.rng.uniform(0.8, 1.2, c)),
                ],
                [out],
                epsilon=2e-5,
            )
        )
        return out

    def prelu(self, x, c):
        out = self.name("prelu")
        slope = np.full((c, 1, 1), 0.25) + self.rng.normal(0.0, 0.02, (c, 1, 1))
        self.nodes.append(helper.make_node("PRelu", [x, self.const("slope", slope)], [out]))
        return out

    def add(self, a, b):
        out = self.name("add")
        self.nodes.append(helper.make_node("Add", [a, b], [out]))
        return out


def build(seed):
    b = Builder(seed)
    x = b.prelu(b.bn(b.conv("input.1", 3, 64, 3, 1), 64), 64)
    inplanes = 64
    for blocks, planes in zip((3, 4, 14, 3), (64, 128, 256, 512)):
        for i in range(blocks):
            stride = 2 if i == 0 else 1
            y = b.bn(x, inplanes)
            y = b.conv(y, inplanes, planes, 3, 1)
            y = b.prelu(b.bn(y, planes), planes)
            y = b.conv(y, planes, planes, 3, stride)
            y = b.bn(y, planes, gamma=(0.1, 0.3))
            shortcut = x
            if stride != 1 or inplanes != planes:
                shortcut = b.bn(b.conv(x, inplanes, planes, 1, stride), planes)
            x = b.add(y, shortcut)
            inplanes = planes
    x = b.bn(x, 512)
    flat = b.name("flatten")
    b.nodes.append(helper.make_node("Flatten", [x], [flat], axis=1))
    fc_w = b.rng.normal(0.0, np.sqrt(1.0 / (512 * 7 * 7)), (512, 512 * 7 * 7))
    fc = b.name("fc")
    b.nodes.append(
        helper.make_node(
            "Gemm",
            [flat, b.const("fc_w", fc_w), b.const("fc_b", np.zeros(512))],
            [fc],
            transB=1,
        )
    )
    out = b.bn(fc, 512)
    b.nodes[-1].output[0] = "683"
    graph = helper.make_graph(
        b.nodes,
        "iresnet50",
        [helper.make_tensor_value_info("input.1", TensorProto.FLOAT, ["N", 3, 112, 112])],
        [helper.make_tensor_value_info("683", TensorProto.FLOAT, ["N", 512])],
        b.inits,
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
    model.ir_version = 6
    onnx.checker.check_model(model)
    return model


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("out")
    p.add_argument("--seed", type=int, default=50)
    args = p.parse_args(argv)
    onnx.save(build(args.seed), args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
