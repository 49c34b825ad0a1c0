# The driver's sources: every .cpp of the four driver folders. The same list is
# compiled into both .sys images and into the host library that the simulator,
# the tests and the tools link.
file(GLOB VODREK_DRIVER_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/driver/*.cpp
     ${CMAKE_CURRENT_SOURCE_DIR}/control/*.cpp
     ${CMAKE_CURRENT_SOURCE_DIR}/datapath/*.cpp
     ${CMAKE_CURRENT_SOURCE_DIR}/usb/*.cpp)
