// A template of one heap domain with one allocator, the smallest a loader
// test needs; the tests vary its root attributes, includes text and
// document type declaration.
#pragma once

#include <string>

// The root attributes of a complete, valid template.
inline const char* const kOneTorRoot =
    "name=\"t\" prefix=\"p_\" errlogmode=\"\" trap_on_io_err=\"false\" remote_mode=\"false\" force_flush=\"true\" "
    "fork_enabled=\"true\" multithreaded=\"false\" threading=\"posix\" compiler_type=\"gcc\" trace_target=\"t.out\"";

inline std::string oneTorTemplate(const std::string& root, const std::string& includes = "stdlib.h",
                                  const std::string& doctype = "") {
    return "<?xml version=\"1.0\"?>\n" + doctype + "<template " + root +
           ">\n"
           "  <domain name=\"mem\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">\n"
           "    <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
           "    <includes>" + includes + "</includes>\n"
           "    <tor __type__=\"allocator\" name=\"malloc\" float_arg_n1=\"1\" float_arg_n2=\"0\" "
           "is_handle_arg_out=\"true\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
           "      <validateDom_before>-</validateDom_before>\n"
           "      <args type=\"void*\" name=\"ret\"/>\n"
           "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
           "    </tor>\n"
           "  </domain>\n"
           "</template>\n";
}
