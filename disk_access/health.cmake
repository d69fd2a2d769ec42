# Disk health: the query logic is portable and reaches devices only through DeviceControl, so it is
# built and tested everywhere; the Win32 backend joins it on Windows.
add_library(disk_health STATIC ${CMAKE_CURRENT_SOURCE_DIR}/disk_health.cpp)
if(WIN32)
  target_sources(disk_health PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/win32_device_control.cpp)
endif()
target_include_directories(disk_health PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(disk_health PUBLIC flutter_codec quarvelin_common)
quarvelin_warnings(disk_health)

quarvelin_test(disk_health_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/disk_health_test.cpp
  LIBS disk_health)
