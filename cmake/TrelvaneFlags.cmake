# One INTERFACE target carries the language level, the warnings and the sanitizer flags, so
# no target sets global flags and every layer is built the same way.
add_library(trelvane_flags INTERFACE)
add_library(trelvane::flags ALIAS trelvane_flags)
target_compile_features(trelvane_flags INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(trelvane_flags INTERFACE -Wall -Wextra -Wpedantic -Wshadow
                                                -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual)
if(TRELVANE_WERROR)
    target_compile_options(trelvane_flags INTERFACE -Werror)
endif()
target_compile_definitions(trelvane_flags INTERFACE
    QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_URL_CAST_FROM_STRING QT_NO_KEYWORDS)

if(TRELVANE_SANITIZE AND TRELVANE_TSAN)
    message(FATAL_ERROR "TRELVANE_SANITIZE and TRELVANE_TSAN cannot be combined")
endif()
if(TRELVANE_SANITIZE)
    target_compile_options(trelvane_flags INTERFACE -fsanitize=address,undefined
                                                    -fno-sanitize-recover=undefined
                                                    -fno-omit-frame-pointer)
    target_link_options(trelvane_flags INTERFACE -fsanitize=address,undefined)
endif()
if(TRELVANE_TSAN)
    # GCC warns that TSan cannot model std::atomic_thread_fence; the only fences are Boost.Asio's
    # own (the API's server), and the warning would stop the -Werror build.
    target_compile_options(trelvane_flags INTERFACE -fsanitize=thread -fno-omit-frame-pointer
                                                    -Wno-tsan)
    target_link_options(trelvane_flags INTERFACE -fsanitize=thread)
endif()
if(TRELVANE_BUILD_FUZZ)
    target_compile_options(trelvane_flags INTERFACE -fsanitize=fuzzer-no-link,address,undefined
                                                    -fno-sanitize-recover=undefined
                                                    -fno-omit-frame-pointer)
    target_link_options(trelvane_flags INTERFACE -fsanitize=address,undefined)
endif()
