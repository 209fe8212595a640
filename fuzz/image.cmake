# HEX parsing, image loading and what is built from an image (STM32 erase list and blocks, LPC
# send list). The logic sources are compiled into each target so that libFuzzer's coverage and
# the sanitizers reach them.
set(_image_src ${PROJECT_SOURCE_DIR}/src/logic)
tramelo_add_fuzzer(fuzz_stm32image SOURCES fuzz_stm32image.cpp ${_image_src}/Stm32Image.cpp
                   ${_image_src}/HexText.cpp ${_image_src}/FirmwareFile.cpp
                   ${_image_src}/FirmwareImage.cpp
                   ${_image_src}/Devices.cpp LIBS Qt6::Core PkgConfig::LIBELF)
tramelo_add_fuzzer(fuzz_lpcimage SOURCES fuzz_lpcimage.cpp ${_image_src}/LpcImage.cpp
                   ${_image_src}/HexText.cpp ${_image_src}/FirmwareFile.cpp
                   ${_image_src}/FirmwareImage.cpp
                   ${_image_src}/Devices.cpp LIBS Qt6::Core PkgConfig::LIBELF)
# The image model's readers: S-records, ELF through libelf, Intel HEX.
tramelo_add_fuzzer(fuzz_firmwareimage SOURCES fuzz_firmwareimage.cpp
                   ${_image_src}/FirmwareImage.cpp ${_image_src}/HexText.cpp
                   ${_image_src}/FirmwareFile.cpp LIBS Qt6::Core PkgConfig::LIBELF)
foreach(_t fuzz_stm32image fuzz_lpcimage fuzz_firmwareimage)
    target_include_directories(${_t} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    set_target_properties(${_t} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
endforeach()
