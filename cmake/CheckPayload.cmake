# Checks a payload before it goes into the installer bundle: its signature must meet the
# installer's requirement (with the anchors given, besides Apple's) and its CFBundleVersion
# must be the build number. Fails the build with a message saying which.
#   -DTOOL= -DPAYLOAD= -DREQUIREMENT= -DBUILD_NUMBER= [-DANCHOR=]
set(args verify --requirement "${REQUIREMENT}")
if(ANCHOR)
  list(APPEND args --anchor "${ANCHOR}")
endif()
execute_process(COMMAND "${TOOL}" ${args} "${PAYLOAD}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "The payload ${PAYLOAD} is not signed as the installer requires.\n"
    "  required: ${REQUIREMENT}\n  verifier: ${output}"
    "Sign it with a Developer ID of the team the requirement names (see the README), then build again.")
endif()
execute_process(COMMAND "${TOOL}" info "${PAYLOAD}" OUTPUT_VARIABLE info)
string(REGEX MATCH "version: ([^\n]*)" found "${info}")
if(NOT CMAKE_MATCH_1 STREQUAL BUILD_NUMBER)
  message(FATAL_ERROR "The payload's CFBundleVersion is '${CMAKE_MATCH_1}', the installer's build "
    "number is ${BUILD_NUMBER}: the installer would refuse it. Build with "
    "-DTESSURO_BUILD_NUMBER=<the payload's>, or sign a payload of build ${BUILD_NUMBER}.")
endif()
