# The warnings our own targets build with; third-party code (gtest) is built without them. They are
# errors only where QUARVELIN_WERROR is on (the test builds of CMakePresets.json and CI): another
# compiler or optimisation level must never break a user's build over a warning.
option(QUARVELIN_WERROR "Treat warnings in our own code as errors" OFF)

function(quarvelin_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wnon-virtual-dtor -Wcast-qual
    -Wold-style-cast -Woverloaded-virtual -Wnull-dereference)
  if(QUARVELIN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
