# Native Linux build of the code that needs no Windows headers: parsers and decision
# logic, tested under AddressSanitizer and UndefinedBehaviorSanitizer.
option(NATIVE_SANITIZERS "Build with ASan and UBSan" ON)
add_compile_options(-Wall -Wextra -g)
if(NATIVE_SANITIZERS)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
find_path(CRYPTOPP_INCLUDE_DIR cryptopp/cryptlib.h REQUIRED)
find_library(CRYPTOPP_LIBRARY NAMES cryptopp crypto++ REQUIRED)
add_library(cryptopp INTERFACE IMPORTED GLOBAL)
set_target_properties(cryptopp PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${CRYPTOPP_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "${CRYPTOPP_LIBRARY}")
