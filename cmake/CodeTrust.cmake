# Code trust: how an installation establishes a bundle's code signature and
# notarization, and the keys it trusts, fixed when the program is built.
#   KELVOMA_CODE_TRUST     seal (in-process seal and ticket) or macos (codesign, spctl)
#   KELVOMA_TEAM_KEYS_DIR  folder of <TEAMID>.pub, signify public keys of developer teams
#   KELVOMA_NOTARY_KEY     the notary's signify public key file
# Empty keys make every bundle refused. The keys' contents are compiled in;
# nothing is read at run time.
set(KELVOMA_CODE_TRUST "seal" CACHE STRING "How bundles are trusted: seal or macos")
set_property(CACHE KELVOMA_CODE_TRUST PROPERTY STRINGS seal macos)
set(KELVOMA_TEAM_KEYS_DIR "" CACHE PATH "Folder of <TEAMID>.pub signify public keys")
set(KELVOMA_NOTARY_KEY "" CACHE FILEPATH "The notary's signify public key")

# The base64 line of a signify public key file ("Ed", key number, key), or a
# configuration error.
function(kelvoma_signify_public_key file out)
  file(READ ${file} text)
  if(NOT text MATCHES "^untrusted comment: [^\n]*\n(RW[QRST][A-Za-z0-9+/]+)\n?$")
    message(FATAL_ERROR "${file} is not a signify public key file")
  endif()
  string(LENGTH "${CMAKE_MATCH_1}" length)
  if(NOT length EQUAL 56)
    message(FATAL_ERROR "${file} is not a signify public key file")
  endif()
  set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

# Sets KELVOMA_TEAM_KEYS_CODE and KELVOMA_NOTARY_KEY_CODE, the C++ text of the
# keys in the current settings, for build_config.cpp.in.
function(kelvoma_code_trust_code)
  if(NOT KELVOMA_CODE_TRUST MATCHES "^(seal|macos)$")
    message(FATAL_ERROR "KELVOMA_CODE_TRUST must be seal or macos, not '${KELVOMA_CODE_TRUST}'")
  endif()
  set(teams "")
  if(KELVOMA_TEAM_KEYS_DIR)
    if(NOT IS_DIRECTORY ${KELVOMA_TEAM_KEYS_DIR})
      message(FATAL_ERROR "KELVOMA_TEAM_KEYS_DIR ${KELVOMA_TEAM_KEYS_DIR} is no folder")
    endif()
    file(GLOB key_files ${KELVOMA_TEAM_KEYS_DIR}/*.pub)
    list(SORT key_files)
    foreach(file IN LISTS key_files)
      get_filename_component(team ${file} NAME_WLE)
      if(team STREQUAL "notary")
        continue()  # a notary key beside the teams' is not a team's
      endif()
      if(NOT team MATCHES "^[A-Za-z0-9._-]+$")
        message(FATAL_ERROR "${file}: a team identifier of letters, digits, '.', '_' or '-'")
      endif()
      kelvoma_signify_public_key(${file} key)
      string(APPEND teams "{.team = \"${team}\", .public_key = \"${key}\"}, ")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KELVOMA_TEAM_KEYS_DIR})
  endif()
  set(notary "")
  if(KELVOMA_NOTARY_KEY)
    kelvoma_signify_public_key(${KELVOMA_NOTARY_KEY} notary)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KELVOMA_NOTARY_KEY})
  endif()
  set(KELVOMA_TEAM_KEYS_CODE "${teams}" PARENT_SCOPE)
  set(KELVOMA_NOTARY_KEY_CODE "${notary}" PARENT_SCOPE)
endfunction()

# The test keys' secret halves are in the repository: a build that ships
# must never trust them.
function(kelvoma_refuse_test_keys)
  foreach(path IN ITEMS "${KELVOMA_TEAM_KEYS_DIR}" "${KELVOMA_NOTARY_KEY}")
    if(path)
      file(REAL_PATH ${path} real)
      file(REAL_PATH ${PROJECT_SOURCE_DIR}/tests tests)
      cmake_path(IS_PREFIX tests ${real} NORMALIZE under_tests)
      if(under_tests)
        message(FATAL_ERROR "The production build refuses test keys (${path}): "
                            "their secret halves are in the repository.")
      endif()
    endif()
  endforeach()
endfunction()
