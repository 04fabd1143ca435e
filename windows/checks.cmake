# Checks on the images: their PE headers, imports and exports, and the model
# database run by a Win32 program under Wine.
set(PRN_PECHECK ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/pecheck.py --objdump ${PRN_OBJDUMP})
# Every import of the driver must be exported by every supported platform.
set(exports ${CMAKE_CURRENT_SOURCE_DIR}/exports)
set(PRN_DRIVER_RULES --subsystem native --entry _DriverEntry@8 --entry-section INIT
                     --allow-import ntoskrnl.exe
                     --allow-import hal.dll --no-exports --no-static-constructors --checksum
                     --exports-list ${exports}/win98se.txt --exports-list ${exports}/winme.txt
                     --exports-list ${exports}/win2000.txt --exports-list ${exports}/winxp.txt)
# The DLL's spooler imports are judged by the same lists (their winspool.drv
# sections); its kernel32 and C runtime imports are not (exports/README.md).
set(PRN_DLL_RULES --subsystem windows --dll --allow-import kernel32.dll --allow-import msvcrt.dll
                  --allow-import winspool.drv --exports-def ${CMAKE_CURRENT_SOURCE_DIR}/prnmodel.def
                  --exports-list ${exports}/win98se.txt --exports-list ${exports}/winme.txt
                  --exports-list ${exports}/win2000.txt --exports-list ${exports}/winxp.txt)

add_test(NAME pecheck.prnsbp COMMAND ${PRN_PECHECK} $<TARGET_FILE:prnsbp> ${PRN_DRIVER_RULES})
add_test(NAME pecheck.prnmodel COMMAND ${PRN_PECHECK} $<TARGET_FILE:prnmodel> ${PRN_DLL_RULES})
# The table of exports/README.md is what the lists say of each import.
add_test(NAME pecheck.prnsbp.basis_table
         COMMAND ${PRN_PECHECK} $<TARGET_FILE:prnsbp> ${PRN_DRIVER_RULES}
                 --check-table ${exports}/README.md)
add_test(NAME pecheck.prnmodel.basis_table
         COMMAND ${PRN_PECHECK} $<TARGET_FILE:prnmodel> ${PRN_DLL_RULES}
                 --check-table ${exports}/README.md)

# The check itself: images with one known fault each must be rejected for
# that fault, and sound ones accepted.
set(selftest ${CMAKE_CURRENT_SOURCE_DIR}/selftest)
function(prn_bad_dll name def)
  add_library(${name} SHARED ${selftest}/exports.c ${def})
  set_target_properties(${name} PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/selftest)
  target_link_options(${name} PRIVATE -static-libgcc -Wl,--subsystem,windows -Wl,--enable-stdcall-fixup)
  target_link_libraries(${name} PRIVATE kernel32 ${ARGN})
endfunction()
function(prn_bad_driver name)
  add_executable(${name} ${selftest}/driver.cpp)
  set_target_properties(${name} PROPERTIES SUFFIX ".sys" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/selftest)
  target_include_directories(${name} SYSTEM BEFORE PRIVATE ${PRN_MINGW_DDK_INCLUDE})
  target_compile_options(${name} PRIVATE ${PRN_KERNEL_COMPILE_OPTIONS})
  target_link_options(${name} PRIVATE ${PRN_KERNEL_LINK_OPTIONS} ${ARGN})
  target_link_libraries(${name} PRIVATE ntoskrnl hal gcc)
endfunction()
function(prn_check_rejects name target rules pattern)
  add_test(NAME pecheck.selftest.${name} COMMAND ${PRN_PECHECK} $<TARGET_FILE:${target}> ${${rules}})
  set_tests_properties(pecheck.selftest.${name} PROPERTIES PASS_REGULAR_EXPRESSION "${pattern}")
endfunction()

prn_bad_dll(selftest_good_dll ${CMAKE_CURRENT_SOURCE_DIR}/prnmodel.def)
prn_bad_dll(selftest_extra_export ${selftest}/eight.def)
prn_bad_dll(selftest_missing_export ${selftest}/six.def)
prn_bad_dll(selftest_user32 ${CMAKE_CURRENT_SOURCE_DIR}/prnmodel.def user32)
target_compile_definitions(selftest_user32 PRIVATE WITH_USER32)
prn_bad_dll(selftest_decorated "")
target_compile_definitions(selftest_decorated PRIVATE BY_DECLSPEC)

prn_bad_driver(selftest_good_driver)
prn_bad_driver(selftest_wrong_entry -Wl,--entry,_OtherEntry@8)
prn_bad_driver(selftest_console_driver -Wl,--subsystem,console)
prn_bad_driver(selftest_kernel32_driver)
target_compile_definitions(selftest_kernel32_driver PRIVATE WITH_KERNEL32)
target_link_libraries(selftest_kernel32_driver PRIVATE kernel32)
# A sound driver whose header checksum is then changed by one.
set(bad_checksum ${CMAKE_BINARY_DIR}/selftest/selftest_bad_checksum.sys)
add_custom_command(TARGET selftest_good_driver POST_BUILD
                   COMMAND ${Python3_EXECUTABLE} -c
                           "import sys;d=bytearray(open(sys.argv[1],'rb').read());a=int.from_bytes(d[60:64],'little')+88;d[a]^=1;open(sys.argv[2],'wb').write(d)"
                           $<TARGET_FILE:selftest_good_driver> ${bad_checksum}
                   BYPRODUCTS ${bad_checksum} VERBATIM)
prn_bad_driver(selftest_resident_entry)
target_compile_definitions(selftest_resident_entry PRIVATE WITH_RESIDENT_ENTRY)
prn_bad_driver(selftest_constructor_driver)
target_compile_definitions(selftest_constructor_driver PRIVATE WITH_STATIC_CONSTRUCTOR)
# Imports MmMapLockedPagesSpecifyCache (MmGetSystemAddressForMdlSafe), which
# Windows 98 does not export.
prn_bad_driver(selftest_legacy_import)
target_compile_definitions(selftest_legacy_import PRIVATE WITH_SAFE_MDL_MAPPING)
# Imports KeQuerySystemTime, which the lists hold on nothing but wdm.h's
# declaration.
prn_bad_driver(selftest_header_import)
target_compile_definitions(selftest_header_import PRIVATE WITH_HEADER_ONLY_IMPORT)
# A DLL whose version resource is older than the INF's DriverVer.
prn_bad_dll(selftest_old_version ${CMAKE_CURRENT_SOURCE_DIR}/prnmodel.def)
set(PRN_VERSION_KEPT ${PRN_VERSION})
set(PRN_VERSION 1.74.0.0)
set(PRN_VERSION_COMMAS 1,74,0,0)
prn_version_resource(selftest_old_version selftest_old_version.dll "Older" VFT_DLL VFT2_UNKNOWN)
set(PRN_VERSION ${PRN_VERSION_KEPT})
string(REPLACE "." "," PRN_VERSION_COMMAS ${PRN_VERSION})

add_test(NAME pecheck.selftest.accepts_sound_dll
         COMMAND ${PRN_PECHECK} $<TARGET_FILE:selftest_good_dll> ${PRN_DLL_RULES})
add_test(NAME pecheck.selftest.accepts_sound_driver
         COMMAND ${PRN_PECHECK} $<TARGET_FILE:selftest_good_driver> ${PRN_DRIVER_RULES})
prn_check_rejects(extra_export selftest_extra_export PRN_DLL_RULES "FAIL: .*: unexpected export Extra")
prn_check_rejects(missing_export selftest_missing_export PRN_DLL_RULES "FAIL: .*: missing export GetMediaInfo")
prn_check_rejects(user32_import selftest_user32 PRN_DLL_RULES "FAIL: .*: import from USER32.dll is not allowed")
prn_check_rejects(decorated_exports selftest_decorated PRN_DLL_RULES
                  "FAIL: .*: unexpected export XDB_AccessRootDataBase@20")
prn_check_rejects(dll_as_driver selftest_good_dll PRN_DRIVER_RULES "FAIL: .*: subsystem 2 is not native")
prn_check_rejects(wrong_entry selftest_wrong_entry PRN_DRIVER_RULES "FAIL: .*: entry point is not _DriverEntry@8")
prn_check_rejects(console_driver selftest_console_driver PRN_DRIVER_RULES "FAIL: .*: subsystem 3 is not native")
prn_check_rejects(kernel32_driver selftest_kernel32_driver PRN_DRIVER_RULES
                  "FAIL: .*: import from KERNEL32.dll is not allowed")
prn_check_rejects(resident_entry selftest_resident_entry PRN_DRIVER_RULES
                  "FAIL: .*: entry _DriverEntry@8 is in .text, not INIT")
prn_check_rejects(static_constructor selftest_constructor_driver PRN_DRIVER_RULES
                  "FAIL: .*: static constructor .* would never run")
add_test(NAME pecheck.selftest.bad_checksum COMMAND ${PRN_PECHECK} ${bad_checksum} ${PRN_DRIVER_RULES})
set_tests_properties(pecheck.selftest.bad_checksum PROPERTIES PASS_REGULAR_EXPRESSION
                     "FAIL: .*: header checksum 0x[0-9a-f]+ is not the image's")
prn_check_rejects(driver_as_dll selftest_good_driver PRN_DLL_RULES "FAIL: .*: image is not marked as a DLL")
prn_check_rejects(legacy_import selftest_legacy_import PRN_DRIVER_RULES
                  "FAIL: .*: import ntoskrnl.exe!MmMapLockedPagesSpecifyCache is not exported by Windows 98 SE")
prn_check_rejects(header_only_import selftest_header_import PRN_DRIVER_RULES
                  "FAIL: .*: import ntoskrnl.exe!KeQuerySystemTime has only a header basis on Windows 98 SE")
set(inf ${CMAKE_CURRENT_SOURCE_DIR}/prnsbp.inf)
add_test(NAME pecheck.selftest.no_version
         COMMAND ${PRN_PECHECK} $<TARGET_FILE:selftest_good_dll> ${PRN_DLL_RULES} --version-of-inf ${inf})
set_tests_properties(pecheck.selftest.no_version PROPERTIES PASS_REGULAR_EXPRESSION
                     "FAIL: .*: no version resource")
add_test(NAME pecheck.selftest.old_version
         COMMAND ${PRN_PECHECK} $<TARGET_FILE:selftest_old_version> ${PRN_DLL_RULES} --version-of-inf ${inf})
set_tests_properties(pecheck.selftest.old_version PROPERTIES PASS_REGULAR_EXPRESSION
                     "FAIL: .*: file version 1.74.0.0 is not the INF's DriverVer ${PRN_VERSION}")

# The INF: sections, files and the configuration defaults on both
# platforms; its self-test shows each kind of fault is found.
add_test(NAME inf.prnsbp COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/infcheck.py
                                 ${CMAKE_CURRENT_SOURCE_DIR}/prnsbp.inf)
add_test(NAME inf.selftest COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/infcheck.py
                                   --self-test ${CMAKE_CURRENT_SOURCE_DIR}/prnsbp.inf)

# The package the build makes (target driver_package, in ALL): what ships,
# as it ships. Exactly its files, its INF, and both images with the version
# resource of the INF's DriverVer; the Wine checks install from it.
set(PRN_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
set(text ${CMAKE_CURRENT_BINARY_DIR}/package-text)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/package/INSTALL.TXT ${text}/INSTALL.TXT @ONLY)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/package/PRNMODEL.TXT ${text}/PRNMODEL.TXT @ONLY)
add_custom_target(driver_package ALL
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${PRN_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PRN_PACKAGE_DIR}/printer
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/prnsbp.inf $<TARGET_FILE:prnsbp>
          ${text}/INSTALL.TXT ${PRN_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:prnmodel> ${text}/PRNMODEL.TXT
          ${PRN_PACKAGE_DIR}/printer
  DEPENDS prnsbp prnmodel ${CMAKE_CURRENT_SOURCE_DIR}/prnsbp.inf ${text}/INSTALL.TXT
          ${text}/PRNMODEL.TXT
  COMMENT "Driver package in ${PRN_PACKAGE_DIR}" VERBATIM)
set(PRN_PACKAGE_INF ${PRN_PACKAGE_DIR}/prnsbp.inf)
add_test(NAME package.files COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/packagecheck.py
                                    ${PRN_PACKAGE_DIR})
add_test(NAME package.selftest COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/packagecheck.py
                                       --self-test ${PRN_PACKAGE_DIR})
add_test(NAME package.inf COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/infcheck.py
                                  ${PRN_PACKAGE_INF})
add_test(NAME package.prnsbp COMMAND ${PRN_PECHECK} ${PRN_PACKAGE_DIR}/prnsbp.sys ${PRN_DRIVER_RULES}
                                     --version-of-inf ${PRN_PACKAGE_INF})
add_test(NAME package.prnmodel COMMAND ${PRN_PECHECK} ${PRN_PACKAGE_DIR}/printer/prnmodel.dll
                                       ${PRN_DLL_RULES} --version-of-inf ${PRN_PACKAGE_INF})

# The model database conformance cases, run against prnmodel.dll under Wine.
add_subdirectory(conformance)
