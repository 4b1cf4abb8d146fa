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

load_server_public_key(SERVER_PUBLIC_KEY_HEX)
configure_file("${CMAKE_CURRENT_LIST_DIR}/server_public_key.h.in"
               "${GENERATED_DIR}/server_public_key.h" @ONLY)
