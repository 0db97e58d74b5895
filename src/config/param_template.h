// A fresh, commented parameter file, written from the key table.
#ifndef QELLOG_SRC_CONFIG_PARAM_TEMPLATE_H
#define QELLOG_SRC_CONFIG_PARAM_TEMPLATE_H

#include <string>

namespace qellog {

// The text of a parameter file for base name `name` whose log goes to
// `log_dir`/`log_file`: every [LOGGING] key with its help as comments, the
// optional ones commented out, then [CLASSES] with commented examples and
// [GENERAL]. Pure.
std::string param_file_template(const std::string& name, const std::string& log_dir,
                                const std::string& log_file);

}  // namespace qellog

#endif  // QELLOG_SRC_CONFIG_PARAM_TEMPLATE_H
