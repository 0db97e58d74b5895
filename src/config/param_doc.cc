// Loading and listing the parameter file.
#include "config/param_doc.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>

#include "config/param_file.h"

namespace qellog {
namespace {

using Stream = std::unique_ptr<FILE, int (*)(FILE*)>;
using Names = CSimpleIniA::TNamesDepend;

int load_errno(SI_Error rc) { return rc == SI_NOMEM ? ENOMEM : EIO; }

Names in_load_order(Names names) {
  names.sort(CSimpleIniA::Entry::LoadOrder());
  return names;
}

// The keys of one section of `all` (a document that keeps every value of a
// key), each with the value that `plain` (the set-up's document) holds.
void list_section(const CSimpleIniA& plain, const CSimpleIniA& all, const char* section,
                  std::vector<ParamKey>* out) {
  Names keys;
  all.GetAllKeys(section, keys);
  for (const CSimpleIniA::Entry& key : in_load_order(keys)) {
    Names values;
    all.GetAllValues(section, key.pItem, values);
    ParamKey entry{section, key.pItem, {}, plain.GetValue(section, key.pItem, "")};
    for (const CSimpleIniA::Entry& v : in_load_order(values)) {
      entry.values.push_back(v.pItem);
    }
    out->push_back(std::move(entry));
  }
}

}  // namespace

SI_Error load_param_file(CSimpleIniA& doc, const char* path, PathRefusal* why) {
  const Stream stream(open_param_file(path, why), &std::fclose);
  if (!stream) return SI_FILE;
  return doc.LoadFile(stream.get());
}

int list_param_keys(const char* path, std::vector<ParamKey>* out, PathRefusal* why) {
  const Stream stream(open_param_file(path, why), &std::fclose);
  if (!stream) return errno;
  try {
    // One open, two parses of the same bytes: the set-up's own document,
    // and one that keeps every value of a key that is given twice.
    CSimpleIniA plain;
    CSimpleIniA all(false, true, false);
    SI_Error rc = plain.LoadFile(stream.get());
    if (rc >= 0) rc = all.LoadFile(stream.get());
    if (rc < 0) return load_errno(rc);
    Names sections;
    all.GetAllSections(sections);
    for (const CSimpleIniA::Entry& section : in_load_order(sections)) {
      list_section(plain, all, section.pItem, out);
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

bool same_ini_name(const char* a, const char* b) {
  const SI_GenericNoCase<char> less;
  return !less(a, b) && !less(b, a);
}

}  // namespace qellog
