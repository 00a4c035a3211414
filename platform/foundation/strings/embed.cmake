# Writes OUT, a C++ source that holds the text of every LANGUAGE.strings file of
# DIR (LANGUAGES is a ;-list) as a raw string literal.
set(body "// Generated from the .strings files; do not edit.\n#include \"platform/foundation/StringTablesData.h\"\n\nnamespace tbx::stringtables {\n\nconst std::vector<Source>& sources() {\n    static const std::vector<Source> list{\n")
foreach(language ${LANGUAGES})
  file(READ "${DIR}/${language}.strings" text)
  string(FIND "${text}" ")tbxstrings\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${language}.strings holds the literal's end marker")
  endif()
  string(APPEND body "        {\"${language}\", R\"tbxstrings(${text})tbxstrings\"},\n")
endforeach()
string(APPEND body "    };\n    return list;\n}\n\n} // namespace tbx::stringtables\n")
file(WRITE "${OUT}.tmp" "${body}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
