# Makes one test image with qm-mkvolume unless it is up to date:
#   cmake -DMKVOLUME=... -DDESC=... -DOUT=... [-DARGS=...] -P MakeImage.cmake
# The manifest is written last, so a manifest newer than the image, the
# description and the tool means the image is complete and current.
foreach(var MKVOLUME DESC OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "MakeImage.cmake needs -D${var}=...")
  endif()
endforeach()

set(manifest "${OUT}.manifest.tsv")
if(EXISTS "${OUT}" AND EXISTS "${manifest}"
   AND "${manifest}" IS_NEWER_THAN "${OUT}"
   AND NOT "${DESC}" IS_NEWER_THAN "${manifest}"
   AND NOT "${MKVOLUME}" IS_NEWER_THAN "${manifest}")
  message(STATUS "${OUT} is up to date")
  return()
endif()

get_filename_component(dir "${OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${dir}")
file(REMOVE "${manifest}")
execute_process(COMMAND "${MKVOLUME}" ${ARGS} "${DESC}" "${OUT}" "${manifest}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE "${OUT}" "${manifest}")
  message(FATAL_ERROR "qm-mkvolume failed on ${DESC}")
endif()
