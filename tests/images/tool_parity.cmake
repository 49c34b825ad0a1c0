# Runs one vodrek-sim command on the host build of the driver and on the image
# (x64, or i386 in the 32-bit build), and fails unless both give the same report
# and the same USB capture, byte for byte (virtual time makes even the
# timestamps the same). EMULATOR, when given, is the command that runs the tool.
#
#   cmake -DTOOL=path/to/vodrek-sim -DARGS="receive;--bytes;65536" -DWORK=dir -P tool_parity.cmake
file(MAKE_DIRECTORY ${WORK})
# The command's options go before its operands (the chip tool's are its steps).
list(POP_FRONT ARGS command)
foreach(driver host image)
    set(ENV{VODREK_DRIVER} ${driver})
    execute_process(COMMAND ${EMULATOR} ${TOOL} ${command} --json --pcap ${WORK}/${driver}.pcap ${ARGS}
                    OUTPUT_VARIABLE out_${driver} ERROR_VARIABLE err_${driver}
                    RESULT_VARIABLE result_${driver})
    file(WRITE ${WORK}/${driver}.json "${out_${driver}}")
    # The report names its capture file, which differs by design.
    string(REGEX REPLACE "\"pcap\":\"[^\"]*\"" "\"pcap\":\"\"" out_${driver} "${out_${driver}}")
endforeach()
if(NOT result_host STREQUAL result_image)
    message(FATAL_ERROR "exit status ${result_host} on the host build, ${result_image} on the image\n"
                        "host: ${err_host}\nimage: ${err_image}")
endif()
if(NOT out_host STREQUAL out_image)
    message(FATAL_ERROR "the reports differ: diff ${WORK}/host.json ${WORK}/image.json")
endif()
file(SHA256 ${WORK}/host.pcap host_capture)
file(SHA256 ${WORK}/image.pcap image_capture)
if(NOT host_capture STREQUAL image_capture)
    message(FATAL_ERROR "the captures differ: ${WORK}/host.pcap and ${WORK}/image.pcap")
endif()
string(LENGTH "${out_host}" length)
message(STATUS "same report (${length} characters) and capture on both builds, exit status ${result_host}")
