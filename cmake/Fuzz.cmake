# libFuzzer targets: cmake -DRORODIRE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS fuzz/fuzz_*.cpp)
foreach(src ${FUZZ_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE rr_all rr_host)
  # Targets of the tool (its preview, its relay) link the tool's commands.
  if(name MATCHES "^fuzz_(tool|relay)_")
    target_link_libraries(${name} PRIVATE rr_tool)
  endif()
  rr_use_osal(${name} osal_scripted)
endforeach()
