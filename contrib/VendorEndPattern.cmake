# The patterns by which the shipping configs find where a record ends: a
# line ending in a tab (a debug record), or a line whose key is a vendor name
# of the error-code table (the version line that ends an error record).
#
# zorv_vendor_end_patterns(TABLE) sets, in the caller's scope:
#   ZORV_VENDOR_NAMES            the names, for a comment
#   ZORV_END_REGEX               the end pattern, as the body of a string in
#                                double quotes of rsyslog and syslog-ng alike
#   ZORV_SECTION_REGEX           the first line of a record, likewise
#   ZORV_VENDOR_ALTERNATION      the names as alternatives of a regular
#                                expression, likewise quoted (JSON takes it too)
# The configuration is redone when the table changes.
function(zorv_vendor_end_patterns table)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
  file(READ ${table} xml)
  # Comments hold no names, whatever they mention.
  string(REGEX REPLACE "<!--([^-]|-[^-])*-->" "" xml "${xml}")
  # Semicolons would split CMake's lists; none is left in a name (below).
  string(REPLACE ";" "&semicolon&" xml "${xml}")
  string(REGEX MATCHALL "<NAME>[^<]*</NAME>" elements "${xml}")
  string(REGEX MATCHALL "<NAME[ \t\r\n/>]" opened "${xml}")
  list(LENGTH elements read)
  list(LENGTH opened present)
  if(NOT read EQUAL present)
    message(FATAL_ERROR "${table}: a NAME element holds markup or attributes; "
      "the shipping configs cannot list its vendor name")
  endif()

  set(names "")
  foreach(element IN LISTS elements)
    string(REGEX REPLACE "^<NAME>(.*)</NAME>$" "\\1" name "${element}")
    # As the table's reader sees the text: white space condensed and trimmed,
    # the predefined entities replaced.
    string(REGEX REPLACE "[ \t\r\n]+" " " name "${name}")
    string(STRIP "${name}" name)
    string(REPLACE "&semicolon&" ";" name "${name}")
    if(name MATCHES "&#")
      message(FATAL_ERROR "${table}: the vendor name '${name}' holds a character reference, "
        "which the shipping configs do not take")
    endif()
    string(REPLACE "&lt;" "<" name "${name}")
    string(REPLACE "&gt;" ">" name "${name}")
    string(REPLACE "&quot;" "\"" name "${name}")
    string(REPLACE "&apos;" "'" name "${name}")
    string(REPLACE "&amp;" "&" name "${name}")
    if(name MATCHES "[][;]")
      message(FATAL_ERROR "${table}: the vendor name '${name}' holds a semicolon or a "
        "bracket, which the shipping configs do not take")
    endif()
    # A record without a name writes no version line; nothing to match.
    if(NOT name STREQUAL "")
      list(APPEND names "${name}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES names)
  if(names STREQUAL "")
    message(FATAL_ERROR "${table}: no vendor names; error records could not be ended")
  endif()

  set(alternatives "")
  foreach(name IN LISTS names)
    string(REGEX REPLACE "([][.^$|?*+(){}\\])" "\\\\\\1" escaped "${name}")
    list(APPEND alternatives "${escaped}")
  endforeach()
  list(JOIN alternatives "|" alternation)
  list(JOIN names ", " listed)

  # "\t" is a tab here, so that only the regular expression's own
  # backslashes are doubled below.
  set(time "[0-9]{2}:[0-9]{2}:[0-9]{2}(:[0-9]+)?")
  set(section "^[0-9]+\t[0-9]{4}/[0-9]{2}/[0-9]{2}\t${time}\t")
  set(end "(\t|${section}(${alternation})=.*)$")

  # Inside double quotes both want backslashes and quotes escaped, and take
  # \t for a tab.
  foreach(pattern section end alternation)
    string(REPLACE "\\" "\\\\" text "${${pattern}}")
    string(REPLACE "\"" "\\\"" text "${text}")
    string(REPLACE "\t" "\\t" text "${text}")
    set(${pattern}_quoted "${text}")
  endforeach()

  set(ZORV_VENDOR_NAMES "${listed}" PARENT_SCOPE)
  set(ZORV_END_REGEX "${end_quoted}" PARENT_SCOPE)
  set(ZORV_SECTION_REGEX "${section_quoted}" PARENT_SCOPE)
  set(ZORV_VENDOR_ALTERNATION "${alternation_quoted}" PARENT_SCOPE)
endfunction()
