# prnmodel.dll: the model database, exporting exactly the names of
# prnmodel.def undecorated. libgcc and libstdc++ are linked in statically so
# the DLL needs nothing beyond kernel32, msvcrt and winspool.drv.
set(PRNMODEL_SOURCES)
set(PRNMODEL_TABLE_SOURCES)
if(EXISTS ${PRN_ROOT}/modeldb/sources.cmake)
  include(${PRN_ROOT}/modeldb/sources.cmake)
endif()

# The packed model tables come from modelc, which must run on the build
# machine: either one already built (PRN_MODELC) or one this build makes
# with the build machine's compiler.
set(PRN_MODELC "" CACHE FILEPATH "modelc built for the build machine")
set(prnmodel_tables)
if(PRNMODEL_TABLE_SOURCES)
  if(PRN_MODELC)
    set(modelc ${PRN_MODELC})
    set(modelc_target)
  else()
    include(ExternalProject)
    set(modelc ${CMAKE_BINARY_DIR}/hosttools/modelc/modelc)
    ExternalProject_Add(host_modelc
      SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/hosttools
      BINARY_DIR ${CMAKE_BINARY_DIR}/hosttools
      CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DPRN_ROOT=${PRN_ROOT} -DPRN_WERROR=${PRN_WERROR}
      BUILD_ALWAYS ON
      BUILD_BYPRODUCTS ${modelc}
      INSTALL_COMMAND "")
    set(modelc_target host_modelc)
  endif()
  set(prnmodel_tables ${CMAKE_CURRENT_BINARY_DIR}/model_tables.cpp)
  add_custom_command(
    OUTPUT ${prnmodel_tables}
    COMMAND ${modelc} -o ${prnmodel_tables} ${PRNMODEL_TABLE_SOURCES}
    DEPENDS ${modelc_target} ${modelc} ${PRNMODEL_TABLE_SOURCES}
    COMMENT "Compiling the model tables with the build machine's modelc"
    VERBATIM)
endif()

add_library(prnmodel SHARED ${PRNMODEL_SOURCES} ${prnmodel_tables} model_layout.cpp prnmodel.def)
set_target_properties(prnmodel PROPERTIES PREFIX "" IMPORT_PREFIX "")
prn_product_flags(prnmodel)
target_include_directories(prnmodel PRIVATE ${PRN_ROOT}/modeldb/include ${PRN_ROOT}/modeldb/src)
target_link_options(prnmodel PRIVATE -static-libgcc -static-libstdc++ -Wl,--subsystem,windows
                    -s)
target_link_libraries(prnmodel PRIVATE winspool kernel32)
prn_version_resource(prnmodel prnmodel.dll "Orvex ZR printer model database" VFT_DLL
                     VFT2_UNKNOWN)
if(modelc_target)
  add_dependencies(prnmodel ${modelc_target})
endif()
