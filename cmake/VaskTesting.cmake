# vask_add_test_suite(<module> SOURCES ... [LIBS ...])
# One GoogleTest executable per module, each test registered with CTest and labelled by module.
function(vask_add_test_suite module)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    set(target vask_${module}_tests)
    add_executable(${target} ${ARG_SOURCES})
    vask_set_warnings(${target})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} vask_test_support GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${target}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS ${module} TIMEOUT 300)
endfunction()
