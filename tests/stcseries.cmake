# The STC12, STC15 and STC8 dialects replayed against recorded real-chip sessions, and their
# simulated chips.
tramelo_add_test(tst_stcseries SOURCES tst_stcseries.cpp LIBS tramelo_logic TIMEOUT 60 UNIT)
target_compile_definitions(tst_stcseries PRIVATE
    TRAMELO_RECORDED_DIR="${CMAKE_CURRENT_SOURCE_DIR}/recorded")
