# The soak program (bench/trans_soak.cpp): a host process that runs compose,
# send, download and parse cycles against the tool's relay over loopback.
# Built whenever the tests or the benchmarks are; the test build runs a short
# soak of it.
include_guard(GLOBAL)
if(TARGET rorodire_tool)
  add_executable(bench_trans_soak bench/trans_soak.cpp)
  target_link_libraries(bench_trans_soak PRIVATE rr_all)
  rr_use_osal(bench_trans_soak osal)
  add_dependencies(bench_trans_soak rorodire_tool)
  target_compile_definitions(bench_trans_soak PRIVATE RR_BINARY_DIR="${CMAKE_BINARY_DIR}")
  # Measured as shipped: the allocation seam without the test bookkeeping.
  set_target_properties(bench_trans_soak PROPERTIES RR_ALLOC_PLAIN ${RR_SHIPPED_ALLOC_PLAIN})
endif()
