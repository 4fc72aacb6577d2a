# One static library per source folder, each taking every .cpp file of its
# folder, so adding a unit needs no edit here. Dependencies run downwards:
# platform <- core <- cmdline, encoding, net <- smtp, oauth <- main.

function(mailshot_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;DEPS;EXCLUDE" ${ARGN})
  set(sources "")
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB found CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/src/${dir}/*.cpp")
    list(APPEND sources ${found})
  endforeach()
  foreach(excluded IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "/${excluded}$")
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
  else()
    add_library(${name} INTERFACE)
  endif()
  get_target_property(kind ${name} TYPE)
  if(kind STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  else()
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# TLS: Schannel through SSPI on Windows (secur32, crypt32: part of Windows,
# nothing to ship), OpenSSL 3 elsewhere, loaded when the first TLS session
# starts (its headers only at build time). HTTPS: WinHTTP on Windows (part
# of Windows), libcurl elsewhere, loaded when the first exchange starts
# (its headers only at build time). bcrypt: the system's random generator
# for message identifiers and sign-ins, and SHA-256 (OpenSSL elsewhere).
# advapi32: passwords from Credential Manager.
if(WIN32)
  set(MAILSHOT_SYSTEM_LIBS ws2_32 secur32 crypt32 winhttp bcrypt advapi32 user32 gdi32 shell32 kernel32)
else()
  find_package(Threads REQUIRED)
  find_package(OpenSSL 3.0 REQUIRED)
  find_package(CURL REQUIRED)
  set(MAILSHOT_SYSTEM_LIBS Threads::Threads ${CMAKE_DL_LIBS})
endif()

# src/platform itself: the parts both backends share.
mailshot_library(mailshot_platform DIRS platform platform/${MAILSHOT_PLATFORM} DEPS ${MAILSHOT_SYSTEM_LIBS})
if(NOT WIN32)
  target_include_directories(mailshot_platform PRIVATE ${OPENSSL_INCLUDE_DIR} ${CURL_INCLUDE_DIRS})
endif()
mailshot_library(mailshot_core DIRS core DEPS mailshot_platform)
mailshot_library(mailshot_cmdline DIRS cmdline DEPS mailshot_core)
# Vector encoders exist for x86-64 (any system); other processors get none.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(MAILSHOT_CPU x86_64)
else()
  set(MAILSHOT_CPU generic)
endif()
mailshot_library(mailshot_encoding DIRS encoding encoding/${MAILSHOT_CPU} DEPS mailshot_core)
mailshot_library(mailshot_net DIRS net DEPS mailshot_core)
mailshot_library(mailshot_smtp DIRS smtp DEPS mailshot_net mailshot_encoding)
# OAuth: the token file, the grants and the sign-ins, beside the SMTP client
# (which only asks for a token through the program). JSON by nlohmann/json,
# header-only: Debian's package puts it into /usr/include, which the cross
# build must not search as a whole (glibc's headers are there too), so the
# build tree gets a folder holding a link to the library's own folder only.
find_path(MAILSHOT_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(MAILSHOT_JSON_LINKED ${CMAKE_BINARY_DIR}/json-include)
file(MAKE_DIRECTORY ${MAILSHOT_JSON_LINKED})
file(CREATE_LINK ${MAILSHOT_JSON_INCLUDE}/nlohmann ${MAILSHOT_JSON_LINKED}/nlohmann SYMBOLIC)
mailshot_library(mailshot_oauth DIRS oauth DEPS mailshot_encoding)
target_include_directories(mailshot_oauth SYSTEM PUBLIC ${MAILSHOT_JSON_LINKED})
mailshot_library(mailshot_main DIRS main EXCLUDE Program.cpp
                 DEPS mailshot_smtp mailshot_oauth mailshot_cmdline)
configure_file(${PROJECT_SOURCE_DIR}/src/main/Version.h.in ${PROJECT_BINARY_DIR}/generated/main/Version.h @ONLY)
target_include_directories(mailshot_main PUBLIC ${PROJECT_BINARY_DIR}/generated)

if(EXISTS ${PROJECT_SOURCE_DIR}/src/main/Program.cpp)
  if(WIN32)
    add_executable(mailshot WIN32 src/main/Program.cpp)
  else()
    add_executable(mailshot src/main/Program.cpp)
  endif()
  target_link_libraries(mailshot PRIVATE mailshot_main)
endif()
