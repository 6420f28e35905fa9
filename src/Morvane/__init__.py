"""Morvane: a minimal RGB image library (PNG and BMP in and out)."""
