tramelo_add_bench(bench_startup SOURCES bench_startup.cpp LIBS tramelo_app)
