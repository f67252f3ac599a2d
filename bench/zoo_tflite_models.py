"""TFLite exports of Keras applications with random weights, as TensorFlow's
converter writes them, for bench/zoo.py, which runs this per model with the
interpreter $VEXATVM_TF_PYTHON (one with tensorflow-cpu; the project's own
venv has none):

    python bench/zoo_tflite_models.py NAME PATH

Batch normalisation takes its statistics from a few random batches first, so
that activations neither vanish nor saturate; int8 models are full-integer
quantized with the converter's defaults (int8 input and output, per-channel
weights, per-channel fully-connected layers) on random calibration images,
unless the name ends in "_pt_fc" (the converter flag that keeps
fully-connected layers per tensor).
"""

import os
import sys

import numpy as np
import tensorflow as tf

# The converter settings of the tests' own TFLite models.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "models"))
from make_tflite_models import convert  # noqa: E402

SIZE = 224
SEED = 0


def keras_application(arch, **kwargs):
    def build():
        tf.keras.utils.set_random_seed(SEED)
        model = getattr(tf.keras.applications, arch)(input_shape=(SIZE, SIZE, 3), weights=None, **kwargs)
        rng = np.random.default_rng(SEED)
        for _ in range(8):
            model(rng.uniform(-1, 1, (4, SIZE, SIZE, 3)).astype(np.float32), training=True)
        return model

    return build


NETS = {
    "mobilenet_v2": keras_application("MobileNetV2"),
    "mobilenet_v3_small": keras_application("MobileNetV3Small"),
    "efficientnet_b0": keras_application("EfficientNetB0"),
    "resnet50": keras_application("ResNet50"),
}


def main():
    name, path = sys.argv[1], sys.argv[2]
    base = name.removesuffix("_tflite_int8_pt_fc").removesuffix("_tflite_int8").removesuffix("_tflite")
    flatbuffer = convert(NETS[base](), int8="_int8" in name, per_tensor_dense=name.endswith("_pt_fc"))
    with open(path, "wb") as stream:
        stream.write(flatbuffer)


if __name__ == "__main__":
    main()
