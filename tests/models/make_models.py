#!/usr/bin/env python3
"""Writes the models, test data and other files that the tests check into the folder given as
argument: models that load and run, that the library rejects or crashes on, and files that only
look like models by their names."""

import os
import pathlib
import shutil
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

node = helper.make_node


def weights(name, *shape):
    """Small random weights, the same for the same name in every build."""
    rng = np.random.default_rng(sum(name.encode()))
    return numpy_helper.from_array((rng.standard_normal(shape) * 0.1).astype(np.float32), name)


def tensor(name, shape):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, shape)


def save(file_name, nodes, inputs, outputs, initializers=(), check=True, opset=13):
    """Writes the model; with check, the onnx checker must pass it."""
    graph = helper.make_graph(nodes, file_name.split(".")[0], inputs, outputs, list(initializers))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)],
                              producer_name="verasko-tests")
    model.ir_version = 8 if opset >= 15 else 7
    if check:
        onnx.checker.check_model(model)
    onnx.save(model, file_name)


def rewrite(path, change):
    """Changes the bytes of a file written before."""
    path = pathlib.Path(path)
    path.write_bytes(change(path.read_bytes()))


def conv(name, x, w, y, pads=1, kernel=3):
    return node("Conv", [x, w], [y], name=name, kernel_shape=[kernel, kernel], pads=[pads] * 4)


def example():
    """A small image classifier: a stem, an inception-style block, a classifier head."""
    nodes = [conv("stem_conv", "image", "stem_w", "stem"),
             node("Relu", ["stem"], ["stem_relu"], name="stem_relu"),
             node("MaxPool", ["stem_relu"], ["pooled"], name="stem_pool",
                  kernel_shape=[2, 2], strides=[2, 2]),
             conv("branch_1x1", "pooled", "b1_w", "b1", pads=0, kernel=1),
             conv("branch_3x3", "pooled", "b3_w", "b3"),
             node("Concat", ["b1", "b3"], ["mixed"], name="mixed", axis=1),
             node("Relu", ["mixed"], ["mixed_relu"]),
             node("GlobalAveragePool", ["mixed_relu"], ["gap"], name="gap"),
             node("Flatten", ["gap"], ["features"], name="flatten", axis=1),
             node("Gemm", ["features", "fc_w", "fc_b"], ["logits"], name="classifier", transB=1),
             node("Softmax", ["logits"], ["prob"], name="prob", axis=1)]
    save("example.onnx", nodes, [tensor("image", [1, 3, 224, 224])], [tensor("prob", [1, 10])],
         [weights("stem_w", 8, 3, 3, 3), weights("b1_w", 8, 8, 1, 1),
          weights("b3_w", 8, 8, 3, 3), weights("fc_w", 10, 16), weights("fc_b", 10)])


def loadable():
    save("conv.onnx", [conv("conv1", "input", "w", "pre"), node("Relu", ["pre"], ["features"])],
         [tensor("input", [1, 3, 32, 32])], [tensor("features", [1, 4, 32, 32])],
         [weights("w", 4, 3, 3, 3)])
    save("nhwc.onnx", [node("Transpose", ["input"], ["nchw"], name="to_nchw", perm=[0, 3, 1, 2]),
                       conv("conv1", "nchw", "w", "features")],
         [tensor("input", [1, 32, 32, 3])], [tensor("features", [1, 4, 32, 32])],
         [weights("w", 4, 3, 3, 3)])
    save("sequence.onnx", [node("Sigmoid", ["tokens"], ["gates"])],
         [tensor("tokens", [3, 16, 16])], [tensor("gates", [3, 16, 16])])
    save("dense.onnx", [node("Gemm", ["x", "w", "b"], ["y"], name="dense", transB=1)],
         [tensor("x", [1, 16])], [tensor("y", [1, 4])], [weights("w", 4, 16), weights("b", 4)])
    save("two_outputs.onnx",
         [conv("conv1", "input", "w", "pre"), node("Relu", ["pre"], ["features"], name="features"),
          node("GlobalAveragePool", ["features"], ["gap"]),
          node("Flatten", ["gap"], ["flat"], axis=1),
          node("Gemm", ["flat", "fc_w", "fc_b"], ["scores"], name="scores", transB=1)],
         [tensor("input", [1, 3, 32, 32])],
         [tensor("features", [1, 4, 32, 32]), tensor("scores", [1, 5])],
         [weights("w", 4, 3, 3, 3), weights("fc_w", 5, 4), weights("fc_b", 5)])
    # Runs with 1 3 8 8 only: the reshape before the dense layer is fixed.
    save("fixed_reshape.onnx", [node("Reshape", ["input", "flat_shape"], ["flat"], name="flatten"),
          node("Gemm", ["flat", "w", "b"], ["logits"], name="dense", transB=1)],
         [tensor("input", [1, 3, 8, 8])], [tensor("logits", [1, 10])],
         [numpy_helper.from_array(np.array([1, 192], np.int64), "flat_shape"),
          weights("w", 10, 192), weights("b", 10)])
    save("two_inputs.onnx", [node("Add", ["left", "right"], ["sum"])],
         [tensor("left", [1, 8]), tensor("right", [1, 8])], [tensor("sum", [1, 8])])


def rejected():
    save("unknown_op.onnx", [node("Relu", ["x"], ["y"], name="prepare"),
                             node("FooBar", ["y"], ["z"], name="foo_7")],
         [tensor("x", [1, 3])], [tensor("z", [1, 3])], check=False)
    save("unknown_op_unnamed.onnx", [node("Relu", ["x"], ["y"]), node("FooBar", ["y"], ["z"])],
         [tensor("x", [1, 3])], [tensor("z", [1, 3])], check=False)
    save("empty_graph.onnx", [], [], [])


def explained():
    """For --explain: a node rejected after another, then one of a type without any layer, two
    of one type after a rejected node, two unrelated unknown types, a node without inputs that
    crashes the diagnostics pass (4.7.0), attributes that pass as read, nodes of one name, a layer
    the library adds to a node."""
    save("chain.onnx", [node("Concat", ["x", "k"], ["y"], name="join", axis=1),
                        node("Conv", ["y", "w"], ["z"], name="conv", kernel_shape=[3, 3]),
                        node("BarBaz", ["z"], ["out"], name="after")],
         [tensor("x", [1, 3, 8, 8])], [tensor("out", [1, 4, 6, 6])],
         [weights("k", 1, 2, 4, 4), weights("w", 4, 5, 3, 3)], check=False)
    save("fan_out.onnx", [node("Concat", ["x", "k"], ["y"], name="join", axis=1),
                          node("Conv", ["y", "w"], ["z1"], name="left", kernel_shape=[3, 3]),
                          node("Conv", ["y", "w"], ["z2"], name="right", kernel_shape=[3, 3])],
         [tensor("x", [1, 3, 8, 8])], [tensor("z1", [1, 4, 6, 6]), tensor("z2", [1, 4, 6, 6])],
         [weights("k", 1, 2, 4, 4), weights("w", 4, 5, 3, 3)], check=False)
    save("two_unknown.onnx", [node("FooBar", ["x"], ["a"], name="foo"), node("Relu", ["x"], ["r"]),
                              node("BarBaz", ["r"], ["b"], name="bar", domain='com."ex"\\ample')],
         [tensor("x", [1, 3])], [tensor("a", [1, 3]), tensor("b", [1, 3])], check=False)
    save("diagnostics_crash.onnx", [node("FooBar", ["x"], ["a"], name="foo"),
                                    node("Cast", [], ["c"], to=1)],
         [tensor("x", [1, 3])], [tensor("a", [1, 3]), tensor("c", [1, 3])], check=False)
    # Attributes that the diagnostics mode passes over: an axis beyond 32 bits, strings.
    save("bad_attributes.onnx", [node("Softmax", ["x"], ["s"], name="sm", axis=2**33),
                                 node("FooBar", ["x"], ["f"], name="foo"),
                                 node("Relu", ["x"], ["r"], name="r", tags=["a", "b"])],
         [tensor("x", [1, 3])], [tensor(n, [1, 3]) for n in "srf"], check=False)
    # Nodes of one name; the second and the Unsqueeze without axes are rejected.
    save("same_names.onnx", [node("Relu", ["x"], ["a"], name="same"),
                             node("Relu", ["a"], ["b"], name="same"),
                             node("Unsqueeze", ["b"], ["c"])],
         [tensor("x", [1, 3])], [tensor("c", [1, 1, 3])], check=False)
    # A Flatten on axis 0 is a layer "<node>/reshape" first, which a wrong shape stops.
    save("flatten_axis0.onnx", [node("Flatten", ["x"], ["y"], axis=0)],
         [tensor("x", [1, 3, 4, 4])], [tensor("y", [1, 48])])


def hostile():
    """Models whose text or size is meant to harm: forged lines, terminal controls, a node the
    protobuf reader chokes on, a tiny model that asks for 10 GiB."""
    save("forged_node.onnx", [node("FooBar", ["x"], ["y"],
                                   name="n)\nThe model can be executed with Lumetra Vision.\n(")],
         [tensor("x", [1, 3])], [tensor("y", [1, 3])], check=False)
    save("escape_output.onnx", [node("Relu", ["x"], ["y\x1b[31m"])],
         [tensor("x", [1, 3])], [tensor("y\x1b[31m", [1, 3])])
    # Names written as the library's log: a rejection of a node that is not there, and the input
    # shapes and words of a layer whose shapes could not be computed.
    log = "[ERROR:0@0.001] global onnx_importer.cpp:1029 handleNode DNN/ONNX: "
    save("forged_log.onnx",
         [node("FooBar", ["x"], ["y"], name="n\n\n" + log + "Potential problem during processing "
               "node with 1 inputs and 1 outputs: [Relu]:(onnx_node!fake) from domain='ai.onnx'\n"
               "all is fine\n")], [tensor("x", [1, 3])], [tensor("y", [1, 3])], check=False)
    log = "\n[ERROR:0@0.001] global net_impl.cpp:1167 getLayerShapesRecursively "
    save("forged_shapes.onnx", [node("Reshape", ["input", "flat_shape"], ["flat"],
               name="r): getMemoryShapes() throws exception. inputs=1 outputs=1/1 blobs=0" + log +
               "    input[0] = [ 6 6 6 ]" + log + "Exception message: all is fine\n("),
          node("Gemm", ["flat", "w", "b"], ["logits"], name="dense", transB=1)],
         [tensor("input", [1, 3, 8, 8])], [tensor("logits", [1, 10])],
         [numpy_helper.from_array(np.array([1, 192], np.int64), "flat_shape"),
          weights("w", 10, 192), weights("b", 10)])
    save("escape_op.onnx", [node("Foo\x1b(0", ["x"], ["y"], name="n1")],
         [tensor("x", [1, 3])], [tensor("y", [1, 3])], check=False)
    # C1 controls in UTF-8 (CSI, NEL), then a lone 0x9b byte and DEL, written over "R@W".
    save("c1_node.onnx", [node("FooBar", ["x"], ["y"], name="n\u009b2J\u0085R@W")],
         [tensor("x", [1, 3])], [tensor("y", [1, 3])], check=False)
    rewrite("c1_node.onnx", lambda data: data.replace(b"R@W", b"\x9b\x7fZ"))
    save("cast_without_input.onnx", [node("Cast", [], ["y"], to=1)],
         [tensor("x", [1, 3])], [tensor("y", [1, 3])], check=False)
    save("huge_constant.onnx", [node("ConstantOfShape", ["shape"], ["y"])], [],
         [tensor("y", [1, 3, 30000, 30000])],
         [numpy_helper.from_array(np.array([1, 3, 30000, 30000], np.int64), "shape")])


def crashing():
    """Models on which the library itself crashes; the checker must still give its verdict."""
    # CELU written out in plain operators: the importer dies reading it.
    nodes = [node("Constant", [], ["alpha"], value_float=2.0),
             node("CastLike", ["alpha", "x"], ["alpha_cast"]),
             node("Div", ["x", "alpha_cast"], ["scaled"]),
             node("Elu", ["scaled"], ["elu"], alpha=1.0), node("Mul", ["alpha_cast", "elu"], ["y"])]
    save("celu_by_hand.onnx", nodes, [tensor("x", [3, 3, 3, 1])], [tensor("y", [3, 3, 3, 1])],
         opset=15)


def worker_ends():
    """Models that end the library's process in every way but an orderly one: a write past a buffer,
    a fault in every thread of a pooling loop, a run and an explanation that take minutes."""
    save("cumsum.onnx", [node("CumSum", ["x", "axis"], ["y"], reverse=1)],
         [tensor("x", [1, 3, 8, 8])], [tensor("y", [1, 3, 8, 8])],
         [numpy_helper.from_array(np.array(1, np.int64), "axis")], opset=14)
    save("pool_threads.onnx",
         [node("AveragePool", ["x"], ["y"], kernel_shape=[3, 2], pads=[2, 4, 4, 3],
               strides=[1, 3], ceil_mode=1, count_include_pad=0)],
         [tensor("x", [5, 4, 1])], [tensor("y", [5, 4, 1])], check=False)
    count = 20000
    save("many_outputs.onnx", [node("Identity", ["x"], [f"y{i}"]) for i in range(count)],
         [tensor("x", [1])], [tensor(f"y{i}", [1]) for i in range(count)], check=False)
    # For --explain: a chain of 20,000 nodes with names of 2 KiB after a node of an unknown
    # type, whose graph record alone is 80 MB.
    names = [f"n{i}".ljust(2048, "_") for i in range(count)]
    save("long_names.onnx", [node("FooBar", ["x"], ["t0"], name=names[0])] +
         [node("Relu", [f"t{i - 1}"], [f"t{i}"], name=names[i]) for i in range(1, count)],
         [tensor("x", [1])], [tensor(f"t{count - 1}", [1])], check=False)
    # An explanation of minutes in a model of 200 kB: after the first node, rejected at once,
    # the diagnostics pass folds 10,000 sums of a 64 MiB constant into one output.
    save("slow_diagnostics.onnx", [node("FooBar", ["x"], ["f"], name="foo"),
                                   node("ConstantOfShape", ["shape"], ["big"])] +
         [node("Add", ["big", "big"], ["sum"]) for _ in range(10000)],
         [tensor("x", [1])], [tensor("f", [1]), tensor("sum", [4096, 4096])],
         [numpy_helper.from_array(np.array([4096, 4096], np.int64), "shape")], check=False)


def not_models():
    def write(name, data=b""):
        os.makedirs(os.path.dirname(name) or ".", exist_ok=True)
        with open(name, "wb") as f:
            f.write(data)

    write("not_a_model.onnx", b"This is a text file, not a model.\n")
    if os.name == "posix":
        write("a\nFORGED\nb.onnx", b"junk whose name the library repeats\n")
    write("zero_bytes.onnx")
    for name in ["notes.txt", "net.onnx.bak", "model.", "model", "models.old/net", "net.onnx5",
                 "net.onn", "conv.\u00f6nx", "conv.\u0436nx"]:
        write(name, b"not checked beyond its name\n")
    os.makedirs("x.onnx", exist_ok=True)
    for copy in ["NET.ONNX", "net.oNnX", "dotonly/.onnx", "nested/deeper/conv.onnx", "7.2.onnx",
                 "\x1b[31mred.onnx", "\u043a\u043e\u043d\u0432.onnx", "\u6a21\u578b.onnx",
                 "model-v2.onnx", "sub/conv.onnx"]:
        os.makedirs(os.path.dirname(copy) or ".", exist_ok=True)
        shutil.copyfile("conv.onnx", copy)
    # Lookalikes of the models beside them (fullwidth letters, a hyphen, a division slash), which
    # Windows' best-fit mapping of names to the ANSI code page would turn into those models.
    for name in ["\uff43\uff4f\uff4e\uff56.onnx", "model\u2010v2.onnx", "sub\u2215conv.onnx"]:
        write(name, b"not the model beside it\n")


def data_sets():
    """Test data for --data beside the models, in data/<name>/: sets that match, that differ,
    inputs matched by their names, and folders that cannot be used."""
    data = "data"
    rng = np.random.default_rng(3)

    def write(name, files, npy=False, names=None):
        """The arrays as files of the set `name`; a tensor is named as its file or by `names`."""
        os.makedirs(os.path.join(data, name), exist_ok=True)
        for file_name, array in files.items():
            path = os.path.join(data, name, file_name)
            if npy:
                np.save(path + ".npy", array)
            else:
                proto = numpy_helper.from_array(array, (names or {}).get(file_name, file_name))
                with open(path + ".pb", "wb") as out:
                    out.write(proto.SerializeToString())

    save("relu.onnx", [node("Relu", ["x"], ["y"])], [tensor("x", [1, 3])], [tensor("y", [1, 3])])
    x = rng.standard_normal((1, 3)).astype(np.float32)
    write("relu", {"input_0": x, "output_0": np.maximum(x, 0)})
    write("relu_npy", {"input_0": x, "output_0": np.maximum(x, 0)}, npy=True)
    write("relu_near", {"input_0": x, "output_0": np.maximum(x, 0) + np.float32(0.01)})
    # Names outside ASCII, as typed, for the folder, its files and the model's graph.
    shutil.copytree(os.path.join(data, "relu"), os.path.join(data, "donn\u00e9es"))
    shutil.copyfile("relu.onnx", "mod\u00e8le.onnx")
    save("softmax.onnx", [node("Softmax", ["x"], ["y"])],
         [tensor("x", [2, 2, 3])], [tensor("y", [2, 2, 3])])
    x = rng.standard_normal((2, 2, 3)).astype(np.float32)
    e = np.exp(x - x.max(axis=-1, keepdims=True))
    write("softmax", {"input_0": x, "output_0": e / e.sum(axis=-1, keepdims=True)})
    # The library gives the 1-D Concat a second dimension of size 1.
    save("concat_1d.onnx", [node("Concat", ["x", "x"], ["y"], axis=0)],
         [tensor("x", [2])], [tensor("y", [4])])
    x = rng.standard_normal(2).astype(np.float32)
    write("concat_1d", {"input_0": x, "output_0": np.concatenate([x, x])})
    save("sub.onnx", [node("Sub", ["left", "right"], ["difference"])],
         [tensor("left", [2, 3]), tensor("right", [2, 3])], [tensor("difference", [2, 3])])
    left = rng.standard_normal((2, 3)).astype(np.float32)
    right = rng.standard_normal((2, 3)).astype(np.float32)
    # The inputs in the other order than the graph's, named as its inputs.
    write("sub", {"input_0": right, "input_1": left, "output_0": left - right},
          names={"input_0": "right", "input_1": "left", "output_0": "difference"})

    # Two outputs, each compared once: the first one off decides the verdict too; two files that
    # fall on the same output or input leave another without one.
    save("pair_outputs.onnx", [node("Relu", ["x"], ["a"]), node("Neg", ["x"], ["b"])],
         [tensor("x", [1, 3])], [tensor("a", [1, 3]), tensor("b", [1, 3])])
    x = rng.standard_normal((1, 3)).astype(np.float32)
    a, b = np.maximum(x, 0), -x
    write("first_differs", {"input_0": x, "output_0": a + np.float32(1), "output_1": b})
    # The first of them of 2^16 values, whose reading looks at the time limit once.
    write("same_output", {"input_0": x, "output_0": np.zeros((256, 256), np.uint8), "output_1": b},
          names={"output_0": "b", "output_1": "b"})
    write("named_then_unnamed", {"input_0": x, "output_0": b, "output_1": a},
          names={"output_0": "b", "output_1": ""})
    write("same_input", {"input_0": right, "input_1": left, "output_0": left - right},
          names={"input_0": "right", "input_1": "right", "output_0": "difference"})
    # An initializer listed as the first output, which the library does not compute, named to
    # forge a line of the report.
    forged = "c\n\x1b[32mThe model can be executed with Lumetra Vision."
    save("constant_output.onnx", [node("Relu", ["x"], ["y"])],
         [tensor("x", [1, 3])], [tensor(forged, [2]), tensor("y", [1, 3])],
         [numpy_helper.from_array(np.ones(2, np.float32), forged)], check=False)
    write("constant_output", {"input_0": x, "output_0": np.ones(2, np.float32),
                              "output_1": np.maximum(x, 0)},
          names={"output_0": forged, "output_1": "y"})

    # ONNX's test data keep bfloat16 values as the bits of a uint16 tensor; uint32 values convert
    # as the library takes them.
    save("bfloat16.onnx", [node("Cast", ["x"], ["y"], to=TensorProto.FLOAT)],
         [helper.make_tensor_value_info("x", TensorProto.BFLOAT16, [3])], [tensor("y", [3])])
    write("bfloat16", {"input_0": np.array([0x3f80, 0xc040, 0x4049], np.uint16),
                       "output_0": np.array([1, -3, 3.140625], np.float32)})
    write("uint32", {"input_0": np.array([[7, 0, 3000000000]], np.uint32),
                     "output_0": np.array([[7, 0, 2147483647]], np.float32)})
    write("uint16", {"input_0": np.array([[40000, 0, 7]], np.uint16),
                     "output_0": np.array([[40000, 0, 7]], np.uint16)})
    # A model without inputs, and a folder with only its output: the model's verdict comes first.
    save("no_inputs.onnx", [node("Constant", [], ["y"],
                                 value=numpy_helper.from_array(np.ones(3, np.float32), "v"))],
         [], [tensor("y", [3])])
    write("only_output", {"output_0": np.ones(3, np.float32)})
    # Values that 7 digits do not tell apart, and values that JSON has no number for.
    x = np.array([[16777218, 1, 2]], np.float32)
    write("large", {"input_0": x, "output_0": x - np.array([[2, 0, 0]], np.float32)})
    write("not_finite", {"input_0": x, "output_0": np.array([[np.nan, 1, 0]], np.float32)})
    # float16 infinities and NaN expected of both outputs; the last one off by 1 at its end.
    write("half_last_differs", {"input_0": np.array([[np.inf, np.nan, -2]], np.float32),
                                "output_0": np.array([[np.inf, np.nan, 0]], np.float16),
                                "output_1": np.array([[-np.inf, np.nan, 3]], np.float16)})

    x = rng.standard_normal((1, 3)).astype(np.float32)
    y = np.maximum(x, 0)
    write("no_output", {"input_0": x})
    write("extra_output", {"input_0": x, "output_0": y, "output_1": y})
    write("gap", {"input_0": x, "input_2": x, "output_0": y})
    write("both_formats", {"input_0": x, "output_0": y})
    write("both_formats", {"input_0": x}, npy=True)
    write("truncated", {"input_0": x, "output_0": y})
    rewrite(os.path.join(data, "truncated", "output_0.pb"), lambda whole: whole[:-4])
    write("bad_header", {"input_0": x, "output_0": y}, npy=True)
    rewrite(os.path.join(data, "bad_header", "input_0.npy"),
            lambda whole: whole.replace(b"'descr'", b"'dexcr'", 1))
    write("string", {"input_0": np.array([["a", "b", "c"]], dtype=object), "output_0": y})
    write("zero_dimension", {"input_0": np.zeros((1, 0), np.float32), "output_0": y})
    write("empty_output", {"input_0": x, "output_0": np.zeros((1, 0), np.float32)})
    # Arrays of zeros whose files are sparse: 256 MiB as an input and as an expected output, 16 Mi
    # values that take longer to read than 1 ms, and 64 Gi values that no machine holds as numbers.
    def zeros(name, shape, files):
        write(name, files)
        path = os.path.join(data, name, "output_0.npy" if "input_0" in files else "input_0.npy")
        with open(path, "wb") as f:
            np.lib.format.write_array_header_1_0(
                f, {"descr": "|u1", "fortran_order": False, "shape": shape})
            f.truncate(f.tell() + int(np.prod(shape, dtype=np.uint64)))
    zeros("big_input", (1, 1, 16384, 16384), {"output_0": y})
    zeros("big_output", (16384, 16384), {"input_0": x})
    zeros("slow_output", (4096, 4096), {"input_0": x})
    zeros("huge_output", (262144, 262144), {"input_0": x})
    with open(os.path.join(data, "not_a_folder"), "wb") as f:
        f.write(b"a file where a folder of test data belongs\n")


def special_files():
    """Entries that are neither files nor folders; Windows has none of them."""
    if os.name != "posix":
        return
    os.mkfifo("fifo.onnx")
    os.symlink("/dev/tty", "tty.onnx")


def main():
    os.makedirs(sys.argv[1], exist_ok=True)
    os.chdir(sys.argv[1])
    for make in [example, loadable, rejected, explained, hostile, crashing, worker_ends, not_models,
                 data_sets, special_files]:
        make()


if __name__ == "__main__":
    main()
