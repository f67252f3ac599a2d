"""What a partition shows its user: ``summary`` (counts, offloaded share,
refusals) and ``picture`` (the regions drawn)."""
