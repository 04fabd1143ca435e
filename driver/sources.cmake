# Source list of the driver, shared by the host build and the Windows build.
file(GLOB PRNSBP_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
list(SORT PRNSBP_SOURCES)
