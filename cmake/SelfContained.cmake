# An installer is copied to machines that may lack libbz2, libzstd or this
# compiler's C++ runtime, so the installer program links them statically and
# depends on the C library alone. It is built optimized and stripped whatever the build
# type; the unstripped program stays next to it as NAME.debug, and the
# stripped one names it in its debug link, so a debugger finds it.
#
# A sanitizer build keeps every program dynamic and unstripped: the
# sanitizer runtimes must be linked dynamically, and there the installer is
# built for finding faults, not for shipping.

# Size-minded code generation for the libraries the installer program is made
# of. Unused functions and data are then dropped when it is linked. That code
# throws no exceptions; built without them, no function needs the C++
# runtime's unwinder for its cleanups, whether or not the compiler can prove
# that its callees never throw.
function(vn_optimize_for_installer target)
  if(NOT VN_SANITIZE)
    target_compile_options(${target} PRIVATE -O2 -ffunction-sections -fdata-sections -fno-exceptions)
  endif()
endfunction()

if(NOT VN_SANITIZE)
  find_library(VN_BZIP2_STATIC_LIBRARY NAMES libbz2.a REQUIRED
               DOC "Static libbz2 that the installer program links")
  add_library(vn_bzip2_static STATIC IMPORTED)
  set_target_properties(vn_bzip2_static PROPERTIES IMPORTED_LOCATION ${VN_BZIP2_STATIC_LIBRARY})
  find_library(VN_ZSTD_STATIC_LIBRARY NAMES libzstd.a REQUIRED
               DOC "Static libzstd that the installer program links")
  add_library(vn_zstd_static STATIC IMPORTED)
  set_target_properties(vn_zstd_static PROPERTIES IMPORTED_LOCATION ${VN_ZSTD_STATIC_LIBRARY})
  find_library(VN_SODIUM_STATIC_LIBRARY NAMES libsodium.a REQUIRED
               DOC "Static libsodium that the installer program links")
  add_library(vn_sodium_static STATIC IMPORTED)
  set_target_properties(vn_sodium_static PROPERTIES IMPORTED_LOCATION ${VN_SODIUM_STATIC_LIBRARY})
endif()

function(vn_self_contained_program target)
  if(VN_SANITIZE)
    return()
  endif()
  vn_optimize_for_installer(${target})
  # The static libbz2, libzstd and libsodium come right after the
  # installer's code, so they serve every reference; the shared ones that the
  # libraries name are then not needed and, with --as-needed, not recorded.
  # sodium_static.cpp keeps libsodium's start-up code out, bz2_static.cpp
  # libbz2's compressor (see there).
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/installer/sodium_static.cpp
                 ${PROJECT_SOURCE_DIR}/installer/bz2_static.cpp)
  target_link_libraries(${target} PRIVATE vn_bzip2_static vn_zstd_static vn_sodium_static)
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc
                      -Wl,--gc-sections -Wl,--as-needed)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
            $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Stripping ${target}; the unstripped program is ${target}.debug"
    VERBATIM)
  set_property(TARGET ${target} APPEND PROPERTY ADDITIONAL_CLEAN_FILES $<TARGET_FILE:${target}>.debug)
endfunction()
