# corvantis_add_subfolders(): adds every direct subfolder of the current
# source folder that has a CMakeLists.txt, so a new topic needs no edit here.
function(corvantis_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
