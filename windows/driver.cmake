# prnsbp.sys: a native NT image entered at DriverEntry (stdcall), linked
# against the kernel and the HAL only. No C runtime, no C++ runtime: the
# driver carries the few C routines it needs (driver/kernelcrt.h), imports
# only what every supported platform exports (windows/exports), and libgcc
# supplies only the 64-bit arithmetic helpers the compiler may emit.
set(prnsbp_sources)
if(EXISTS ${PRN_ROOT}/driver/sources.cmake)
  prn_read_source_list(${PRN_ROOT}/driver/sources.cmake PRNSBP_SOURCES prnsbp_sources)
endif()

set(PRN_KERNEL_COMPILE_OPTIONS
    # No libstdc++ header may reach kernel code: through them mingw-w64
    # would route sprintf and swprintf to its own user-mode printf.
    -nostdinc++
    -D__USE_MINGW_ANSI_STDIO=0
    -ffreestanding
    -fno-exceptions
    -fno-rtti
    -fno-asynchronous-unwind-tables
    -fno-unwind-tables
    -fno-threadsafe-statics
    -fno-use-cxa-atexit
    -fno-stack-protector
    # The lookaside-list inlines then call ExInterlockedPopEntrySList and
    # ExInterlockedPushEntrySList, which Windows 98 SE, Me, 2000 and XP
    # export, not the sequenced-list routines of Windows XP only.
    -D_WIN2K_COMPAT_SLIST_USAGE
    # wdm.h defines these two itself; keep the compiler intrinsics header
    # from declaring them a second time, which C++ rejects.
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset)
set(PRN_KERNEL_LINK_OPTIONS
    -nostdlib
    -nostartfiles
    -Wl,--subsystem,native
    -Wl,--entry,_DriverEntry@8
    -Wl,--image-base,0x10000
    -Wl,--dynamicbase
    -Wl,--nxcompat
    -Wl,--file-alignment,0x200
    -Wl,--section-alignment,0x1000)

# The kernel image's link line names its libraries itself: none of the
# user-mode defaults CMake adds for MinGW may reach it.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

add_executable(prnsbp ${prnsbp_sources} kernel_layout.cpp)
set_target_properties(prnsbp PROPERTIES SUFFIX ".sys")
prn_product_flags(prnsbp)
target_include_directories(prnsbp PRIVATE ${PRN_ROOT}/driver)
target_include_directories(prnsbp SYSTEM BEFORE PRIVATE ${PRN_MINGW_DDK_INCLUDE})
target_compile_options(prnsbp PRIVATE ${PRN_KERNEL_COMPILE_OPTIONS})
target_link_options(prnsbp PRIVATE ${PRN_KERNEL_LINK_OPTIONS})
target_link_libraries(prnsbp PRIVATE ntoskrnl hal gcc)
prn_version_resource(prnsbp prnsbp.sys "Orvex ZR IEEE 1394 printer class driver" VFT_DRV
                     VFT2_DRV_PRINTER)
