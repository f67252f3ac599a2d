"""Writes the small TFLite models the tests import, and what TensorFlow Lite's
own interpreter computes for them on fixed inputs.

    python tests/models/make_tflite_models.py [OUT_DIR]

Needs tensorflow-cpu (tested with 2.21), which the tests themselves do not:
they read the files this script wrote. Weights are random but seeded; the
int8 models are full-integer quantized with the converter's defaults (int8
input and output, per-channel weights, per-channel fully-connected layers
included) unless the name says otherwise.
"""

import os
import sys

import numpy as np
import tensorflow as tf

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = 7


def mobilenet_v2():
    """The real architecture, narrow and small: 96x96 input, width 0.35, 10
    classes, logits out. Batch normalisation takes its statistics from a few
    random batches, so that activations neither vanish nor saturate."""
    model = tf.keras.applications.MobileNetV2(input_shape=(96, 96, 3), alpha=0.35, weights=None, classes=10,
                                              classifier_activation=None)
    rng = np.random.default_rng(SEED)
    for _ in range(20):
        model(rng.uniform(-1, 1, (8, 96, 96, 3)).astype(np.float32), training=True)
    return model


def small_features():
    """A little of every operator family the int8 and float tables know:
    convolutions with fused ReLU6, a depthwise convolution, hard-swish, SiLU,
    a residual add, max pooling, nearest upsampling, concatenation, average
    pooling, a leaky ReLU and a fully-connected layer."""
    layers = tf.keras.layers
    x = inputs = tf.keras.Input((32, 32, 3), batch_size=1)
    x = layers.Conv2D(16, 3, strides=2, padding="same", activation="relu6")(x)
    y = layers.DepthwiseConv2D(3, padding="same")(x)
    y = layers.Conv2D(16, 1)(y)
    y = layers.Activation("hard_swish")(y)
    x = layers.Add()([x, y])
    s = layers.Conv2D(16, 3, padding="same")(x)
    s = layers.Activation("silu")(s)
    p = layers.MaxPooling2D(2)(s)
    p = layers.Conv2D(16, 1)(p)
    p = layers.LeakyReLU(0.1)(p)
    u = layers.UpSampling2D(2, interpolation="nearest")(p)
    x = layers.Concatenate()([s, u])
    x = layers.Conv2D(32, 3, strides=2, padding="same", activation="relu")(x)
    x = layers.AveragePooling2D(2)(x)
    x = layers.Flatten()(x)
    x = layers.Dense(10)(x)
    return tf.keras.Model(inputs, x)


def representative(shape):
    rng = np.random.default_rng(SEED)

    def samples():
        for _ in range(16):
            yield [rng.uniform(-1, 1, (1,) + shape).astype(np.float32)]

    return samples


def convert(model, int8, per_tensor_dense=False):
    converter = tf.lite.TFLiteConverter.from_keras_model(model)
    if int8:
        converter.optimizations = [tf.lite.Optimize.DEFAULT]
        converter.representative_dataset = representative(tuple(model.input_shape[1:]))
        converter.target_spec.supported_ops = [tf.lite.OpsSet.TFLITE_BUILTINS_INT8]
        converter.inference_input_type = tf.int8
        converter.inference_output_type = tf.int8
        if per_tensor_dense:
            converter._experimental_disable_per_channel_quantization_for_dense_layers = True  # pylint: disable=protected-access
    return converter.convert()


def reference(flatbuffer):
    """(input, output) of TFLite's interpreter on a seeded random input."""
    interpreter = tf.lite.Interpreter(model_content=flatbuffer)
    interpreter.allocate_tensors()
    (inp,), (out,) = interpreter.get_input_details(), interpreter.get_output_details()
    rng = np.random.default_rng(SEED + 1)
    if inp["dtype"] == np.int8:
        data = rng.integers(-128, 128, inp["shape"]).astype(np.int8)
    else:
        data = rng.uniform(-1, 1, inp["shape"]).astype(np.float32)
    interpreter.set_tensor(inp["index"], data)
    interpreter.invoke()
    return data, interpreter.get_tensor(out["index"])


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else HERE
    os.makedirs(out_dir, exist_ok=True)
    tf.keras.utils.set_random_seed(SEED)
    nets = {"mobilenet_v2": mobilenet_v2(), "small_features": small_features()}
    files = {
        "mobilenet_v2_int8": convert(nets["mobilenet_v2"], int8=True),
        "small_features_int8": convert(nets["small_features"], int8=True),
        "small_features_int8_per_tensor_fc": convert(nets["small_features"], int8=True, per_tensor_dense=True),
        "small_features_float": convert(nets["small_features"], int8=False),
    }
    outputs = {}
    for name, flatbuffer in files.items():
        with open(os.path.join(out_dir, name + ".tflite"), "wb") as stream:
            stream.write(flatbuffer)
        outputs[name + ".input"], outputs[name + ".output"] = reference(flatbuffer)
        print(f"{name}.tflite: {len(flatbuffer) / 1024:.0f} KB")
    np.savez_compressed(os.path.join(out_dir, "tflite_reference.npz"), **outputs)


if __name__ == "__main__":
    main()
