# One precompiled header of the Qt modules nearly every source includes, shared by every target of ours.
# Meant for the sanitizer builds, where each test source spends most of its compile time parsing Qt.
# GCC takes a precompiled header only where the macros it was made with are defined alike, so the host
# target defines no more than every target does: it links QtCore alone and borrows the include folders of
# QtNetwork and QtSql. QtTest and the Widgets modules stay out: their headers test macros only some
# targets define.
option(VK_PRECOMPILED_QT "Share one precompiled header of QtCore, QtNetwork and QtSql among all targets" OFF)

if(VK_PRECOMPILED_QT)
  set(vk_qt_pch_source ${CMAKE_BINARY_DIR}/vk_qt_pch.cpp)
  file(CONFIGURE OUTPUT ${vk_qt_pch_source} CONTENT "// Host of the shared precompiled Qt header.\n")
  add_library(vk_qt_pch STATIC ${vk_qt_pch_source})
  set_target_properties(vk_qt_pch PROPERTIES AUTOMOC OFF UNITY_BUILD OFF)
  target_link_libraries(vk_qt_pch PRIVATE Qt6::Core vk_build_flags)
  target_include_directories(vk_qt_pch SYSTEM PRIVATE
    $<TARGET_PROPERTY:Qt6::Network,INTERFACE_INCLUDE_DIRECTORIES>
    $<TARGET_PROPERTY:Qt6::Sql,INTERFACE_INCLUDE_DIRECTORIES>)
  target_precompile_headers(vk_qt_pch PRIVATE <QtCore> <QtNetwork> <QSqlDatabase> <QSqlError> <QSqlQuery>
    <QSqlRecord>)
endif()

# Every compiled target under the folder takes the shared header. AUTOMOC's collected file stays without
# it: that one source is small, and loading the header costs more than it saves there.
function(vk_use_precompiled_qt folder)
  if(NOT VK_PRECOMPILED_QT)
    return()
  endif()
  get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(target STREQUAL vk_qt_pch OR NOT type MATCHES "^(STATIC_LIBRARY|EXECUTABLE)$")
      continue()
    endif()
    set_target_properties(${target} PROPERTIES PRECOMPILE_HEADERS_REUSE_FROM vk_qt_pch)
    get_target_property(binary_dir ${target} BINARY_DIR)
    set_source_files_properties(${binary_dir}/${target}_autogen/mocs_compilation.cpp
      TARGET_DIRECTORY ${target} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
  endforeach()
  get_property(subfolders DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
  foreach(subfolder IN LISTS subfolders)
    vk_use_precompiled_qt(${subfolder})
  endforeach()
endfunction()
