# The serial layer and the threaded serial component, both on pseudo-terminals.
tramelo_add_test(tst_serialport SOURCES tst_serialport.cpp LIBS tramelo_platform TIMEOUT 60 UNIT)
tramelo_add_test(tst_spcomm SOURCES tst_spcomm.cpp LIBS tramelo_serial TIMEOUT 120)

# Qt is not built with ThreadSanitizer, so hand-overs inside Qt itself (QtTest's watchdog
# thread ending at the end of a run) look like races to it. Only those frames are suppressed;
# the component's own hand-overs are visible to it (std::thread, std::mutex, atomics).
if(TRAMELO_SANITIZE MATCHES "thread")
    set(serial_tsan_supp ${CMAKE_CURRENT_BINARY_DIR}/serial-tsan.supp)
    file(WRITE ${serial_tsan_supp} "race:QTest::qRun\nrace:QWaitCondition::~QWaitCondition\n")
    foreach(serial_test tst_serialport tst_spcomm)
        if(TEST ${serial_test})
            set_property(TEST ${serial_test} APPEND PROPERTY ENVIRONMENT
                         "TSAN_OPTIONS=suppressions=${serial_tsan_supp}:halt_on_error=0")
        endif()
    endforeach()
endif()
