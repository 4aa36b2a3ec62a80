# Build rules shared by every directory of the tree.

# How the Windows targets carry their C and C++ run-time:
#   SHARED - beside the module as libgcc_s/libstdc++/libwinpthread DLLs. The 32-bit compiler
#            unwinds with DWARF tables, and an exception can only cross from vantor.dll into
#            its caller when both use one unwinder, i.e. the shared libgcc.
#   STATIC - linked into every executable and DLL, so that the Wine test run needs nothing
#            beside the build tree (64-bit unwinding goes through the system's SEH tables).
set(VANTOR_WINDOWS_RUNTIME "STATIC" CACHE STRING "Windows run-time linkage: SHARED or STATIC")

macro(vantor_set_global_flags)
  add_compile_options(-Wall -Wextra -Werror)
  # Reports name source files by their path in the tree, whatever the checkout's location.
  add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
  if(WIN32)
    # Library code sees the same SDK subset whatever the compiler's default.
    add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 __USE_MINGW_ANSI_STDIO=1)
    if(VANTOR_WINDOWS_RUNTIME STREQUAL "STATIC")
      add_link_options(-static)
    endif()
  else()
    # Shared libraries find their siblings in the build tree and after installation.
    set(CMAKE_BUILD_RPATH "${CMAKE_BINARY_DIR}/lib")
    set(CMAKE_INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    add_link_options(-Wl,-z,defs)
  endif()
  if(VANTOR_SANITIZE)
    list(JOIN VANTOR_SANITIZE "," _vantor_san)
    add_compile_options(-fsanitize=${_vantor_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${_vantor_san})
  endif()
endmacro()

# The source directory of a component and its public headers: component libraries of ysl add
# their sources to the one static library `ysl`.
function(vantor_ysl_component dir)
  cmake_parse_arguments(C "" "" "SOURCES" ${ARGN})
  list(TRANSFORM C_SOURCES PREPEND ${dir}/)
  target_sources(ysl PRIVATE ${C_SOURCES})
  target_include_directories(ysl PUBLIC
    $<BUILD_INTERFACE:${dir}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  install(DIRECTORY ${dir}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()
