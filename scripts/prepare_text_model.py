#!/usr/bin/python3
# Makes PP-OCRv4's text detection model loadable by Debian's OpenCV 4.6:
#   prepare_text_model.py SOURCE.onnx OUTPUT.onnx
# The model (converted from Paddle at opset 11) bounds its activations with Clip nodes that take
# their min and max as inputs, fed by Constant nodes; cv::dnn 4.6 reads Clip's bounds only from
# the min/max attributes of opset 6. Each Clip is rewritten to its one data input with the two
# bounds as attributes, the opset stays 11 (the rest of the graph needs it), and the Constant
# nodes nothing reads any more are dropped. Everything else is copied as it is. Needs Debian's
# python3-onnx (run by /usr/bin/python3: a python of one's own does not see that package).
import sys

import onnx
from onnx import numpy_helper


def constant_values(graph):
    """Every tensor the graph knows before it runs: initializers and Constant nodes' outputs."""
    values = {t.name: numpy_helper.to_array(t) for t in graph.initializer}
    for node in graph.node:
        if node.op_type == "Constant":
            for a in node.attribute:
                if a.name == "value":
                    values[node.output[0]] = numpy_helper.to_array(a.t)
    return values


def bound(values, name, default):
    if not name:  # an optional input left out
        return default
    if name not in values:
        raise SystemExit(f"a Clip bound ({name}) is computed, not constant: cannot rewrite it")
    return float(values[name].reshape(-1)[0])


def rewrite_clips(graph):
    values = constant_values(graph)
    rewritten = 0
    for node in graph.node:
        if node.op_type != "Clip" or len(node.input) == 1:
            continue
        inputs = list(node.input)
        low = bound(values, inputs[1] if len(inputs) > 1 else "", -3.4028234663852886e38)
        high = bound(values, inputs[2] if len(inputs) > 2 else "", 3.4028234663852886e38)
        del node.input[1:]
        node.attribute.extend([onnx.helper.make_attribute("min", low), onnx.helper.make_attribute("max", high)])
        rewritten += 1
    return rewritten


def drop_unread_constants(graph):
    read = {name for node in graph.node for name in node.input} | {o.name for o in graph.output}
    unread = [n for n in graph.node if n.op_type == "Constant" and n.output[0] not in read]
    for node in unread:
        graph.node.remove(node)
    return len(unread)


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: prepare_text_model.py SOURCE.onnx OUTPUT.onnx")
    model = onnx.load(sys.argv[1])
    rewritten = rewrite_clips(model.graph)
    if rewritten == 0:
        raise SystemExit("no Clip node with input bounds: not the model this script prepares")
    drop_unread_constants(model.graph)
    onnx.save(model, sys.argv[2])


if __name__ == "__main__":
    main()
