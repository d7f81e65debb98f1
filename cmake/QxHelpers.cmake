# qx_add_library(NAME <name> DIR <dir> [DEPS <public deps>] [PRIVATE_DEPS <deps>]
#                [PC_REQUIRES <pc names>] [PC_LIBS_PRIVATE <flags>])
# Builds the shared library libqx<name> from <dir>/src/*.cpp with the public headers in
# <dir>/include, gives it the alias qx::<name>, installs it with its headers into the
# QxSecCmTargets export and writes qx<name>.pc.
function(qx_add_library)
  cmake_parse_arguments(QX "" "NAME;DIR" "DEPS;PRIVATE_DEPS;PC_REQUIRES;PC_LIBS_PRIVATE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${QX_DIR}/src/*.cpp)
  set(target qx${QX_NAME})
  add_library(${target} SHARED ${srcs})
  add_library(qx::${QX_NAME} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${QX_NAME})
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${QX_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${QX_DIR}/src)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_link_libraries(${target} PUBLIC ${QX_DEPS} PRIVATE ${QX_PRIVATE_DEPS})
  install(TARGETS ${target} EXPORT QxSecCmTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${QX_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  string(REPLACE ";" " " pc_requires "${QX_PC_REQUIRES}")
  string(REPLACE ";" " " pc_libs_private "${QX_PC_LIBS_PRIVATE}")
  set(pc ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc)
  # The prefix is found from the .pc file's own place, so a tree installed with
  # `cmake --install --prefix <dir>` (or moved afterwards) still compiles and links.
  file(RELATIVE_PATH pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  file(GENERATE OUTPUT ${pc} CONTENT
"prefix=\${pcfiledir}/${pc_to_prefix}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: ${target}
Description: QxSecCm ${QX_NAME} library
Version: ${PROJECT_VERSION}
Requires: ${pc_requires}
Libs: -L\${libdir} -Wl,-rpath,\${libdir} -l${target}
Libs.private: ${pc_libs_private}
Cflags: -I\${includedir} -std=c++20
")
  install(FILES ${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

# qx_add_program(NAME <name> SRCS <files> DEPS <libs>)
function(qx_add_program)
  cmake_parse_arguments(QX "" "NAME" "SRCS;DEPS" ${ARGN})
  add_executable(${QX_NAME} ${QX_SRCS})
  target_compile_options(${QX_NAME} PRIVATE -Wall -Wextra -Werror)
  target_link_libraries(${QX_NAME} PRIVATE ${QX_DEPS})
  install(TARGETS ${QX_NAME} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# qx_install_unit(<program>) installs contrib/systemd/<program>.service with ExecStart pointing
# at the installed program.
function(qx_install_unit program)
  set(unit_src ${PROJECT_SOURCE_DIR}/contrib/systemd/${program}.service)
  set(unit_out ${CMAKE_CURRENT_BINARY_DIR}/${program}.service)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${unit_src})
  file(READ ${unit_src} unit_text)
  string(REPLACE "ExecStart=/usr/local/bin/" "ExecStart=${CMAKE_INSTALL_FULL_BINDIR}/" unit_text
         "${unit_text}")
  file(WRITE ${unit_out} "${unit_text}")
  install(FILES ${unit_out} DESTINATION lib/systemd/system)
endfunction()
