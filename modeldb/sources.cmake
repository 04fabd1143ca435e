# The sources of prnmodel, shared by the host build and the Windows build:
# every .cpp under modeldb/src and the constant tables written in C++ under
# modeldb/tables, so that each subsystem adds its own files without touching
# this list.
file(GLOB PRNMODEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/src/*.cpp
     ${CMAKE_CURRENT_LIST_DIR}/tables/*.cpp)
list(SORT PRNMODEL_SOURCES)

# The model source that modelc compiles into the packed tables.
file(GLOB PRNMODEL_TABLE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/tables/*.model)
list(SORT PRNMODEL_TABLE_SOURCES)
