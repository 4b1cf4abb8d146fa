// Component lists read from a file or from the server, and the local list written back.
#pragma once

#include <optional>
#include <string>

#include "update/component_list.h"

namespace corvane {

// The local list file's bytes; nullopt when it is missing or cannot be opened.
std::optional<std::string> readListText(const std::string& path);
// The local list; empty when the file is missing or cannot be opened.
ComponentList readLocalList(const std::string& path);

// The server's catalog. readable is false when the catalog could not be read: the URL
// did not open, the status was outside 200-299, a read failed, the body ended short of
// its Content-Length, or it was larger than 16 MiB. records is empty then. When readable,
// nonBlankLines counts the body's lines with any text, valid or not, so that a page that
// is not a catalog (lines, none valid) can be told from an empty catalog.
struct CatalogRead {
  ComponentList records;
  bool readable = false;
  size_t nonBlankLines = 0;
};
CatalogRead readCatalog(const std::string& url);
// The records of a catalog already fetched.
CatalogRead parseCatalogText(const std::string& text);

// Replaces the list file with the records' lines: the whole content goes to a temporary
// file in the same directory first, which then replaces the list, so an interrupted write
// leaves the old list or the new one, never a part. False (old file untouched) when the
// list cannot be written.
bool writeComponentList(const std::string& path, const ComponentList& list);
bool writeListText(const std::string& path, const std::string& text);

// Deletes the temporary files that interrupted list writes left beside the list.
void removeLeftoverTemporaryLists(const std::string& listPath);

}  // namespace corvane
