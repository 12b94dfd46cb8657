# Checks vq_utf16, the converter that writes mc.exe's input: the .mc must come
# out as iconv writes it (UTF-16LE, with a byte order mark in front), and a
# file with malformed UTF-8 must be refused. Run by CTest in the Wine build:
#   cmake -DCONVERTER=exe -DEMULATOR=runner -DINPUT=file.mc -DWORK_DIR=dir -P check-utf16.cmake
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(expect_iconv_output input)
  get_filename_component(name ${input} NAME)
  execute_process(COMMAND ${EMULATOR} ${CONVERTER} ${input} ${WORK_DIR}/${name}.utf16
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "vq_utf16 failed on ${input}: ${rc}")
  endif()
  execute_process(COMMAND iconv -f UTF-8 -t UTF-16LE ${input}
                  OUTPUT_FILE ${WORK_DIR}/${name}.iconv RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "iconv failed on ${input}: ${rc}")
  endif()
  file(READ ${WORK_DIR}/${name}.utf16 converted HEX)
  file(READ ${WORK_DIR}/${name}.iconv expected HEX)
  if(NOT converted STREQUAL "fffe${expected}")
    string(LENGTH "${converted}" n)
    string(LENGTH "${expected}" m)
    message(FATAL_ERROR "vq_utf16's output for ${name} (${n} hex digits) differs from iconv's with a BOM (4 + ${m})")
  endif()
endfunction()

expect_iconv_output(${INPUT})
# The .mc has one- and two-byte sequences only; three and four bytes (a
# surrogate pair) as well: "A", CR LF, Zhe, the euro sign, a G clef.
execute_process(COMMAND printf "A\\r\\n\\320\\226\\342\\202\\254\\360\\235\\204\\236"
                OUTPUT_FILE ${WORK_DIR}/wide.mc)
expect_iconv_output(${WORK_DIR}/wide.mc)

# A line, then the lead byte of a two-byte sequence followed by a letter.
execute_process(COMMAND printf "MessageId=0x1\\n\\303A" OUTPUT_FILE ${WORK_DIR}/malformed.mc)
execute_process(COMMAND ${EMULATOR} ${CONVERTER} ${WORK_DIR}/malformed.mc ${WORK_DIR}/malformed.out
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "malformed UTF-8 at byte 14")
  message(FATAL_ERROR "malformed UTF-8 was not refused at byte 14: ${rc} ${err}")
endif()
message(STATUS "vq_utf16 gives iconv's UTF-16LE with a BOM and refuses malformed UTF-8")
