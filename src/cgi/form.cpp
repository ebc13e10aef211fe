// SPDX-License-Identifier: Apache-2.0
// The form-entry list and the field operations the pages use on it.
#include "cgi/form.h"

#include "cgi/streams.h"
#include "platform/wipe.h"

namespace larkspur::cgi {
namespace {

void wipe_entry(FormEntry& entry) {
  platform::secure_wipe(entry.name);
  platform::secure_wipe(entry.value);
  platform::secure_wipe(entry.file_name);
  platform::secure_wipe(entry.content_type);
  platform::secure_wipe(entry.temp_file_name);
  entry.value_length = 0;
}

void close_upload(FormEntry& entry) { entry.temp_fd.reset(); }

}  // namespace

FormEntries& form_entries() {
  static FormEntries entries;
  return entries;
}

FormEntry& form_append_entry() { return form_entries().emplace_back(); }

void form_remove_last_entry() {
  FormEntries& list = form_entries();
  if (list.empty()) return;
  close_upload(list.back());
  wipe_entry(list.back());
  list.pop_back();
}

std::size_t form_bytes_held() {
  std::size_t held = 0;
  for (const FormEntry& entry : form_entries()) held += entry.name.size() + entry.value.size();
  return held;
}

bool form_within_limits() {
  const FormEntries& list = form_entries();
  if (list.size() > kMaxFormEntries) return false;
  for (const FormEntry& entry : list) {
    if (entry.value.size() > kMaxValueInMemory) return false;
  }
  return form_bytes_held() <= kMaxFormBytes;
}

const FormEntry* form_find(const FormEntries& form, std::string_view name) {
  for (const FormEntry& entry : form) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

const FormEntry* form_find(std::string_view name) { return form_find(form_entries(), name); }

FormResult form_get_value(const FormEntries& form, std::string_view name, std::span<char> buffer) {
  const FormEntry* entry = form_find(form, name);
  if (!entry) {
    if (!buffer.empty()) buffer[0] = '\0';
    return FORM_NOT_FOUND;
  }
  // Room for the text and its NUL; a zero-size buffer has room for nothing.
  const std::size_t room = buffer.empty() ? 0 : buffer.size() - 1;
  std::size_t stored = 0;
  bool truncated = false;
  for (const char c : entry->value) {
    if (c == '\0') break;
    if (c == '\r' || c == '\n') continue;
    if (stored == room) {
      truncated = true;
      break;
    }
    buffer[stored++] = c;
  }
  if (!buffer.empty()) buffer[stored] = '\0';
  if (truncated) return FORM_TRUNCATED;
  return stored == 0 ? FORM_EMPTY : FORM_SUCCESS;
}

FormResult form_get_value(std::string_view name, std::span<char> buffer) {
  return form_get_value(form_entries(), name, buffer);
}

FormResult form_has_field(const FormEntries& form, std::string_view name) {
  return form_find(form, name) ? FORM_SUCCESS : FORM_NOT_FOUND;
}

FormResult form_has_field(std::string_view name) { return form_has_field(form_entries(), name); }

FormResult write_attr_escaped(std::string_view text) {
  std::ostream& out = response_stream();
  // Runs without a quote go out whole; each quote becomes its entity.
  while (!text.empty()) {
    const std::size_t quote = text.find('"');
    const std::string_view run = text.substr(0, quote);
    if (!run.empty() && !out.write(run.data(), static_cast<std::streamsize>(run.size()))) {
      return FORM_WRITE_FAILED;
    }
    if (quote == std::string_view::npos) break;
    if (!out.write("&#34;", 5)) return FORM_WRITE_FAILED;
    text.remove_prefix(quote + 1);
  }
  return FORM_SUCCESS;
}

void form_free_all() {
  FormEntries& list = form_entries();
  for (FormEntry& entry : list) {
    close_upload(entry);
    wipe_entry(entry);
  }
  FormEntries().swap(list);
}

}  // namespace larkspur::cgi
