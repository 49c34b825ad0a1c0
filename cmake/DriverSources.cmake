# The driver's sources: the same list is compiled into both .sys images and into
# the host library that the simulator, the tests and the tools link.
set(VODREK_DRIVER_SOURCES
    driver/driver_entry.cpp
    driver/ext_baudrate.cpp
    driver/add_device.cpp
    datapath/deferred_work.cpp
    datapath/deferred_routines.cpp
    datapath/admission.cpp
    control/device_control.cpp
    control/port_settings.cpp
)
list(TRANSFORM VODREK_DRIVER_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
