# Reads the server public key that the module trusts and checks it before anything is built:
# uppercase hexadecimal DER SubjectPublicKeyInfo of a 1024-bit RSA key.
set(SERVER_PUBLIC_KEY_FILE "${PROJECT_SOURCE_DIR}/tests/keys/test-server-public.hex"
    CACHE FILEPATH "Server public key: uppercase hex DER SubjectPublicKeyInfo of a 1024-bit RSA key")

function(load_server_public_key out_var)
  if(NOT EXISTS "${SERVER_PUBLIC_KEY_FILE}")
    message(FATAL_ERROR "SERVER_PUBLIC_KEY_FILE '${SERVER_PUBLIC_KEY_FILE}' does not exist. "
                        "Make a key pair with tools/make-server-key.")
  endif()
  file(READ "${SERVER_PUBLIC_KEY_FILE}" key_text)
  string(REGEX REPLACE "[ \t\r\n]" "" key_text "${key_text}")
  string(LENGTH "${key_text}" key_length)
  if(NOT key_text MATCHES "^[0-9A-F]+$")
    message(FATAL_ERROR "SERVER_PUBLIC_KEY_FILE '${SERVER_PUBLIC_KEY_FILE}' must hold only "
                        "uppercase hexadecimal digits (the DER SubjectPublicKeyInfo of the key).")
  endif()
  if(NOT key_length EQUAL 320 AND NOT key_length EQUAL 324)
    message(FATAL_ERROR "SERVER_PUBLIC_KEY_FILE '${SERVER_PUBLIC_KEY_FILE}' holds ${key_length} hex "
                        "digits; a 1024-bit RSA SubjectPublicKeyInfo has 320 (exponent 3 or 17) or 324 (65537).")
  endif()
  # Let OpenSSL judge the structure: it must be an RSA public key of exactly 1024 bits.
  set(der_file "${CMAKE_CURRENT_BINARY_DIR}/server-public-key.der")
  execute_process(COMMAND xxd -r -p "${SERVER_PUBLIC_KEY_FILE}" "${der_file}" RESULT_VARIABLE xxd_result)
  execute_process(COMMAND openssl rsa -pubin -inform DER -in "${der_file}" -noout -text
                  RESULT_VARIABLE openssl_result OUTPUT_VARIABLE key_description ERROR_QUIET)
  if(NOT xxd_result EQUAL 0 OR NOT openssl_result EQUAL 0 OR NOT key_description MATCHES "Public-Key: \\(1024 bit\\)")
    message(FATAL_ERROR "SERVER_PUBLIC_KEY_FILE '${SERVER_PUBLIC_KEY_FILE}' is not the DER "
                        "SubjectPublicKeyInfo of a 1024-bit RSA public key.")
  endif()
  set(${out_var} "${key_text}" PARENT_SCOPE)
endfunction()

option(ALLOW_TEST_KEY "Allow a build other than Debug to trust the repository's published test key" OFF)

# The test key's private half is in the repository: a build that trusts it trusts anyone.
# Recognised by its content, so a copy under another name is caught too.
function(guard_release_build key_text)
  file(READ "${PROJECT_SOURCE_DIR}/tests/keys/test-server-public.hex" test_key_text)
  string(REGEX REPLACE "[ \t\r\n]" "" test_key_text "${test_key_text}")
  string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
  if(build_type STREQUAL "DEBUG")
    return()
  endif()
  if(key_text STREQUAL test_key_text AND NOT ALLOW_TEST_KEY)
    message(FATAL_ERROR "SERVER_PUBLIC_KEY_FILE '${SERVER_PUBLIC_KEY_FILE}' holds the repository's published "
                        "test key, whose private half anyone can read. A build of type "
                        "'${CMAKE_BUILD_TYPE}' with it would let any page serve its own components. Give "
                        "your own key (tools/make-server-key), or -DALLOW_TEST_KEY=ON for a test build.")
  endif()
  if("${ALLOWED_SERVER_ORIGINS}" STREQUAL "")
    message(WARNING "No server allow-list (ALLOWED_SERVER_ORIGINS) is set: this build lets any page point "
                    "the control at any server that can get the key's holder to sign a challenge, and "
                    "install what that server serves. Set -DALLOWED_SERVER_ORIGINS for a deployment.")
  endif()
endfunction()

load_server_public_key(SERVER_PUBLIC_KEY_HEX)
guard_release_build("${SERVER_PUBLIC_KEY_HEX}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/server_public_key.h.in"
               "${GENERATED_DIR}/server_public_key.h" @ONLY)
