# rr_module(NAME "dir1;dir2" "deps"): a static library of every .cpp in the
# directories, with those directories on the include path of its users.
# A module without sources yet becomes an empty interface library.
function(rr_module name dirs deps)
  set(srcs "")
  set(incs "")
  foreach(d ${dirs})
    file(GLOB s CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${d}/*.cpp)
    list(APPEND srcs ${s})
    list(APPEND incs ${CMAKE_SOURCE_DIR}/${d})
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${incs} ${CMAKE_SOURCE_DIR}/common ${CMAKE_SOURCE_DIR}/osal)
    target_compile_definitions(${name} PRIVATE RORODIRE_BUILDING)
    target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti -fvisibility=hidden)
    target_link_libraries(${name} PUBLIC ${deps} PkgConfig::GLIB "$<TARGET_PROPERTY:RR_OSAL>")
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${incs} ${CMAKE_SOURCE_DIR}/common ${CMAKE_SOURCE_DIR}/osal)
    target_link_libraries(${name} INTERFACE ${deps} PkgConfig::GLIB "$<TARGET_PROPERTY:RR_OSAL>")
  endif()
endfunction()

# The modules call into osal, which is chosen at link time by the program:
# the real libosal.so or the scripted stand-in. rr_use_osal(TARGET osal|osal_scripted)
# records the choice so it lands after the modules on the link line.
function(rr_use_osal target impl)
  set_target_properties(${target} PROPERTIES RR_OSAL ${impl})
  target_link_libraries(${target} PRIVATE ${impl})
endfunction()

# The DNS answer reader lives in the GLib osal: its fuzz target builds the
# resolver's sources in and needs nothing else.
function(rr_dns_fuzz_target target)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/osal/osal_glib_dns.cpp ${CMAKE_SOURCE_DIR}/osal/osal_glib_bind.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/osal)
  target_link_libraries(${target} PRIVATE PkgConfig::GLIB PkgConfig::CARES)
endfunction()
