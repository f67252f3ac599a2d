import os

# Compiling for llvm otherwise tries to download TVM's tuning logs first.
os.environ.setdefault("TOPHUB_LOCATION", "NONE")
