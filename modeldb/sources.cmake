# The sources of prnmodel, shared by the host build and the Windows build:
# every .cpp under modeldb/src, so that each subsystem adds its own files
# without touching this list. The model data itself is only in tables/*.model.
file(GLOB PRNMODEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/src/*.cpp)
list(SORT PRNMODEL_SOURCES)

# The model source that modelc compiles into the packed tables.
file(GLOB PRNMODEL_TABLE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/tables/*.model)
list(SORT PRNMODEL_TABLE_SOURCES)
