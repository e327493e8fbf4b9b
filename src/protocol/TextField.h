// The fixed-size text fields of the control protocol: 32-byte names (of a
// service or a profile) and 64-byte user names, NUL-padded.
//
// A receiver treats the last byte of a request field as NUL, so a name has
// at most 31 significant characters and a user name at most 63. Replies
// copy at most the field's size: a text that long fills the field with no
// terminating NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#define NAME_FIELD_SIZE 32                   // service and profile names
#define USER_FIELD_SIZE 64                   // run-as user names
#define NAME_TEXT_MAX (NAME_FIELD_SIZE - 1)  // significant characters of a name
#define USER_TEXT_MAX (USER_FIELD_SIZE - 1)  // significant characters of a user name

// Copies at most fieldSize bytes of text into the field and zeroes the rest.
void PutTextField(uint8_t *field, size_t fieldSize, std::string_view text);

// Reads a request field as the control server does: the last byte counts as
// NUL, so the text ends at the first NUL among the first fieldSize - 1 bytes.
std::string GetRequestTextField(const uint8_t *field, size_t fieldSize);

// Reads a reply field: up to the first NUL, or the whole field without one.
std::string GetReplyTextField(const uint8_t *field, size_t fieldSize);

// A name a client may send: 1 to 31 bytes, none of them NUL.
bool IsValidNameText(std::string_view name);
// A user name a client may send: 1 to 63 bytes, none of them NUL.
bool IsValidUserText(std::string_view user);
