# Line sequences: whether the steps reach the serial layer in order and how far each wait
# between two line changes lies from the sequence's own wait.
tramelo_add_bench(bench_lines SOURCES bench_lines.cpp LIBS tramelo_app)
