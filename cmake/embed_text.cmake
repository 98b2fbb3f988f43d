# Writes the text file IN as a C++ raw string constant NAME into OUT, so
# that a page or script is compiled into the program that serves it.
file(READ "${IN}" text)
string(FIND "${text}" ")PELMORA_EMBED\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} holds the raw string's end marker")
endif()
file(WRITE "${OUT}"
  "// Generated from ${IN}; edit that file instead.\n"
  "constexpr char ${NAME}[] = R\"PELMORA_EMBED(${text})PELMORA_EMBED\";\n")
