# The engines through `tramelo download` (child processes) against paced simulated boards,
# beside stm32flash and lpc21isp on the same boards; several boards in one process; the
# command line's memory and its time to the first byte.
tramelo_add_bench(bench_engines SOURCES bench_engines.cpp LIBS tramelo_sim)
if(TARGET bench_engines)
    target_compile_definitions(bench_engines PRIVATE TRAMELO_BINARY="$<TARGET_FILE:tramelo>")
    add_dependencies(bench_engines tramelo)
endif()
