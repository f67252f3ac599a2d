"""The partition flow, one module per stage: ``reader`` (model files into
Relay), ``preparation``, ``tables``, ``regions``, ``driver`` (the stages in
order: ``partition_for_vexa``) and ``check`` (the partitioned module against
the original on the CPU)."""
