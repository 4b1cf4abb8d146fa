# The signing key whose manifests the control requires (opt-in): the public half of an
# Ed25519 key pair made by tools/make-signing-key, as a SubjectPublicKeyInfo PEM file.
# Without it the control ignores manifests.
set(MANIFEST_PUBLIC_KEY_FILE "" CACHE FILEPATH
    "Ed25519 public key (PEM) whose signed manifest every catalog, package and certificate must match (empty: no manifest required)")

# The raw 32-byte key as 64 hexadecimal digits, or an empty text when no file is given.
function(load_manifest_public_key out_var)
  set(${out_var} "" PARENT_SCOPE)
  if("${MANIFEST_PUBLIC_KEY_FILE}" STREQUAL "")
    return()
  endif()
  if(NOT EXISTS "${MANIFEST_PUBLIC_KEY_FILE}" OR IS_DIRECTORY "${MANIFEST_PUBLIC_KEY_FILE}")
    message(FATAL_ERROR "MANIFEST_PUBLIC_KEY_FILE '${MANIFEST_PUBLIC_KEY_FILE}' does not exist. Make a key "
                        "pair with tools/make-signing-key and give its public half (PUBLIC.pem).")
  endif()
  # OpenSSL judges the structure and writes nothing for a file that is not a public key in
  # PEM. An Ed25519 SubjectPublicKeyInfo is its algorithm's 12-byte prefix, whose lengths
  # leave room for exactly the 32-byte key, and the key.
  execute_process(COMMAND openssl pkey -pubin -in "${MANIFEST_PUBLIC_KEY_FILE}" -outform DER
                  COMMAND xxd -p
                  OUTPUT_VARIABLE der_hex ERROR_QUIET)
  string(REGEX REPLACE "[ \t\r\n]" "" der_hex "${der_hex}")
  if(NOT der_hex MATCHES "^302a300506032b6570032100([0-9a-f]+)$")
    message(FATAL_ERROR "MANIFEST_PUBLIC_KEY_FILE '${MANIFEST_PUBLIC_KEY_FILE}' is not an Ed25519 public key "
                        "in PEM (a private key or a key of another kind will not do). tools/make-signing-key "
                        "writes the right file: give its PUBLIC.pem.")
  endif()
  set(${out_var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

load_manifest_public_key(MANIFEST_PUBLIC_KEY_HEX)
if(NOT MANIFEST_PUBLIC_KEY_HEX STREQUAL "")
  message(STATUS "Signed manifests required, key ${MANIFEST_PUBLIC_KEY_HEX}")
endif()
