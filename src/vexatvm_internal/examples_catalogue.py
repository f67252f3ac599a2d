"""The built-in example networks of the ``vexatvm`` command by name, known
without importing TVM (which building one needs, see ``examples``)."""

# name -> (builder in vexatvm_internal.examples, tables it is meant for, description)
CATALOGUE = {
    "int8-cnn": ("int8_cnn", ("vexa",), "small quantized CNN (PyTorch-style int8 forms)"),
    "yolo-detector": ("yolo_detector", ("vexa_blocks", "vexa_fp32"), "YOLOv5-style detector, newer head (split)"),
    "yolo-detector-v1": ("yolo_detector_v1", ("vexa_blocks", "vexa_fp32"), "YOLOv5-style detector, older head (three slices)"),
    "fp32-cnn-transformer": ("fp32_cnn_transformer", ("vexa_fp32",), "float32 CNN and one transformer encoder layer"),
}
