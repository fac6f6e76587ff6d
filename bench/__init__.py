"""Benchmark harness comparing velnor with hnswlib, FAISS and PyNNDescent (not tests)."""
