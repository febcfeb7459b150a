# The application sees the repair library through mendcore/VideoRepair.h
# alone. Fails on any include under APP_DIR that reaches another of the
# library's headers: by its folder (core/, tree/, repairers/, mendcore/), by a
# path through libmendcore/, or by the bare name of a library-internal header
# that the application does not have itself.
#   cmake -DAPP_DIR=<vidmend> -DLIB_DIR=<libmendcore> -P check_public_header.cmake
cmake_minimum_required(VERSION 3.18)
if(NOT IS_DIRECTORY "${APP_DIR}" OR NOT IS_DIRECTORY "${LIB_DIR}")
  message(FATAL_ERROR "APP_DIR and LIB_DIR must name the application and library folders")
endif()

set(source_globs)
foreach(ext h hh hpp hxx inl ipp c cc cpp cxx)
  list(APPEND source_globs "${APP_DIR}/*.${ext}")
endforeach()
file(GLOB_RECURSE app_files ${source_globs})
if(NOT app_files)
  message(FATAL_ERROR "no sources found under ${APP_DIR}")
endif()

# Names the application has itself may be included bare; any other name of a
# header inside the library (outside its public folder) is internal.
set(app_names)
foreach(f ${app_files})
  get_filename_component(n "${f}" NAME)
  list(APPEND app_names "${n}")
endforeach()
file(GLOB_RECURSE lib_headers "${LIB_DIR}/*.h" "${LIB_DIR}/*.hh" "${LIB_DIR}/*.hpp" "${LIB_DIR}/*.inl")
set(internal_names)
foreach(f ${lib_headers})
  file(RELATIVE_PATH rel "${LIB_DIR}" "${f}")
  if(rel MATCHES "^include/")
    continue()
  endif()
  get_filename_component(n "${f}" NAME)
  if(NOT n IN_LIST app_names)
    list(APPEND internal_names "${n}")
  endif()
endforeach()

set(include_re "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"]")
set(violations)
foreach(f ${app_files})
  file(STRINGS "${f}" lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "${include_re}")
      continue()
    endif()
    set(inc "${CMAKE_MATCH_1}")
    get_filename_component(name "${inc}" NAME)
    set(bad FALSE)
    if(inc STREQUAL "mendcore/VideoRepair.h")
      # The public header.
    elseif(inc MATCHES "(^|/)libmendcore/" OR inc MATCHES "^(\\./)?(core|tree|repairers|mendcore)/")
      set(bad TRUE)
    elseif(name IN_LIST internal_names)
      set(bad TRUE)
    endif()
    if(bad)
      file(RELATIVE_PATH rel "${APP_DIR}" "${f}")
      list(APPEND violations "  ${rel}: ${line}")
    endif()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n" text)
  message(FATAL_ERROR "the application includes library headers other than mendcore/VideoRepair.h:\n${text}")
endif()
