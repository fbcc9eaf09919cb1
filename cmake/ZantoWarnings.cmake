# Our own code builds with every warning as an error; JUCE's module sources do not.
function(zanto_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# A target built with AddressSanitizer and UndefinedBehaviorSanitizer, whatever the build type.
function(zanto_sanitize target)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
endfunction()
