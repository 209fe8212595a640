tramelo_add_bench(bench_terminal SOURCES bench_terminal.cpp LIBS tramelo_app)
