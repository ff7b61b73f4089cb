// The Quorane support library: free functions for paths, files, text, JSON
// and the host, grouped by family.
//
// Narrow strings (std::string) hold UTF-8 bytes; wide strings (std::wstring)
// hold one Unicode code point per unit. Where a function converts between the
// two, it reads its input up to the first NUL and silently leaves out
// ill-formed sequences. Failure is reported through the result (an empty
// string or collection, false, -1 or the caller's default), never recorded.
#ifndef QUORANE_UTILS_H
#define QUORANE_UTILS_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <rapidjson/document.h>

#include "Export.h"
#include "platform/CoreFoundationStrings.h"

namespace quorane {

// The allocator the JSON values draw their memory from: RapidJSON's pool.
using JsonAllocator = rapidjson::MemoryPoolAllocator<rapidjson::CrtAllocator>;
// A JSON value of the UTF-8 flavour (strings of bytes).
using JsonValue = rapidjson::GenericValue<rapidjson::UTF8<char>, JsonAllocator>;
// A JSON value of the wide flavour (strings of 32-bit code units).
using WideJsonValue = rapidjson::GenericValue<rapidjson::UTF16<wchar_t>, JsonAllocator>;

}  // namespace quorane

// ---------------------------------------------------------------------------
// Path strings. Pure string operations; the filesystem is never touched.
// ---------------------------------------------------------------------------

// Joins base and part with one "/": the part alone when the base is empty, the
// base alone when the part is empty, no "/" added when the base ends with one
// or the part begins with one. Nothing else is normalised.
QUORANE_API std::wstring AppendPath(std::wstring base, std::wstring part);
QUORANE_API std::wstring AppendPath(std::wstring base, std::string part);
QUORANE_API std::wstring AppendPath(std::string base, std::string part);
QUORANE_API std::wstring AppendPath(std::string base, std::wstring part);

// The same join with a narrow (UTF-8) result. The narrow-narrow overload works
// on bytes and converts nothing.
QUORANE_API std::string AppendPathToString(std::string base, std::string part);
QUORANE_API std::string AppendPathToString(std::wstring base, std::wstring part);
QUORANE_API std::string AppendPathToString(std::wstring base, std::string part);
QUORANE_API std::string AppendPathToString(std::string base, std::wstring part);

// The path up to and including its last backslash, or failing that its last
// "/"; empty when it has neither.
QUORANE_API std::wstring ExtractFilePath(std::wstring path);

// The path with every backslash replaced by "/".
QUORANE_API std::wstring ConvertFilePath(std::wstring path);

// $HOME if set and non-empty, else $HOMEDRIVE if set and non-empty, else
// $HOMEPATH (empty when unset). Returned unchanged.
QUORANE_API std::string GetHomeDir();

// Always an empty string; the arguments are neither used nor changed.
QUORANE_API std::wstring GetUniversalName(std::wstring path, std::wstring& server,
                                          std::wstring& share);

// ---------------------------------------------------------------------------
// File access checks.
// ---------------------------------------------------------------------------

// Reads the status-change, modification and access times (whole seconds since
// the Unix epoch) of the path itself (a final symbolic link is not followed)
// into the non-null pointers. False, leaving them untouched, when the path or
// a link's target is missing or the times cannot be read.
QUORANE_API bool GetFileTimes(std::string path, int64_t* changeTime, int64_t* modifyTime,
                              int64_t* accessTime);
QUORANE_API bool GetFileTimes(std::wstring path, int64_t* changeTime, int64_t* modifyTime,
                              int64_t* accessTime);

// Adds to `counter` the number of regular files (or links to them) in the tree
// below the directory; links to directories are not descended into. A missing
// path adds nothing. Throws boost::filesystem::filesystem_error when the path
// is not a directory or part of the tree cannot be read.
QUORANE_API void GetFileCount(std::wstring dir, int32_t& counter);

// True when the process can read the file (one byte) or list the directory.
// A FIFO or terminal with nothing to read yet is not waited on.
QUORANE_API bool IsReadable(std::wstring path);

// True when the process can write the file, or create, write and delete a
// probe file of a fresh random name in the directory (an existing file is
// never opened as the probe). A missing path is not writable. Throws
// boost::uuids::entropy_error when the system random device fails.
QUORANE_API bool IsWritable(std::wstring path);

// Always false.
QUORANE_API bool IsOpenAnotherProcess(std::wstring path);

// ---------------------------------------------------------------------------
// File type detection.
// ---------------------------------------------------------------------------

// The content checks below read only regular files (links followed). Anything
// else, a FIFO or a device included, gets the negative answer at once, also
// when it takes a regular file's place while the path is being checked.

// The first 576 bytes of a regular file as 1152 lowercase hex digits, bytes
// past its end counted as zero; empty when the path is not a readable regular
// file.
QUORANE_API std::wstring GetFileSignature(std::wstring path);

// True when a regular file starts with a BMP, GIF, PNG, TIFF or JPEG signature.
QUORANE_API bool IsImageFile(std::string path);
QUORANE_API bool IsImageFile(std::wstring path);

// True when a regular file starts with "%PDF-".
QUORANE_API bool IsPdf(std::string path);
QUORANE_API bool IsPdf(std::wstring path);

// The MIME type registered for the extension of the path's file name, or
// "application/octet-stream"; never empty. The file is not opened.
QUORANE_API std::string GetMimeType(std::string path);
QUORANE_API std::string GetMimeType(std::wstring path);

// ---------------------------------------------------------------------------
// Subdirectory path.
// ---------------------------------------------------------------------------

// The target's path relative to the base directory, in NFC, without a leading
// "./" or "/"; empty when the target is the base or lies outside it. When
// the paths cannot be resolved (a directory on the way may not be searched),
// the part of the target's text after the first occurrence of the base's text.
QUORANE_API std::wstring GetSubDirectory(boost::filesystem::path base,
                                         boost::filesystem::path target);

// ---------------------------------------------------------------------------
// URL and form encoding. A null text is read as the empty text.
// ---------------------------------------------------------------------------

// The number of "%" bytes in the NUL-terminated text.
QUORANE_API int numOfPercent(const char* text);

// The number of bytes of the text that URLEncode escapes: all but ASCII
// letters, digits, "." and "@".
QUORANE_API int numOfEncodingChar(const char* text);

// The text with every byte outside the kept set written as "%XX" (uppercase
// hex), in a new malloc block of exactly its length plus one that the caller
// frees; null when allocation fails.
QUORANE_API char* URLEncode(const char* text);

// The text with every "%XX" escape decoded ("+" stays "+"); a "%" not followed
// by two hex digits is dropped, together with a single hex digit after it.
// A new malloc block the caller frees; null when allocation fails.
QUORANE_API char* URLDecode(const char* text);

// The text with space, #, $, %, &, +, @ and ^ replaced by their %XX escapes.
QUORANE_API std::wstring PostDataEncode(std::wstring text);

// ---------------------------------------------------------------------------
// String utilities.
// ---------------------------------------------------------------------------

// The fields of the text between leftmost non-overlapping occurrences of the
// separator; always one more field than there were matches. An empty
// separator gives the text as its only field.
QUORANE_API std::vector<std::wstring> Split(const std::wstring& text,
                                            const std::wstring& separator);

// The bytes of both strings interleaved, the first string's first; the tail of
// the longer one follows.
QUORANE_API std::string MixString(const std::string& first, const std::string& second);

// The UTF-8 text (up to its first NUL) in Unicode Normalization Form C; empty
// when the text is not valid UTF-8.
QUORANE_API std::string NfdToNfc(const std::string& text);

// The text of a platform string as UTF-8 or wide text; empty when it cannot be
// fetched. The string is borrowed: neither retained nor released.
QUORANE_API std::string CFStringRefToUTF8(CFStringRef string);
QUORANE_API std::wstring CFStringRefToWide(CFStringRef string);

// A fresh random (version 4) UUID as 36 lowercase characters, 8-4-4-4-12.
// Throws boost::uuids::entropy_error when the system random device fails.
QUORANE_API std::string CreateUUIDString();
QUORANE_API std::wstring CreateUUIDWideString();

// ---------------------------------------------------------------------------
// JSON value conversion. Each reader converts a value leniently to its type
// and returns the default where the value's kind has no conversion or its text
// does not parse. Values are not changed. Strings are read up to their first
// NUL; number text never depends on the locale. An object reads as its compact
// JSON text, doubles in it written as "%.22f" would write them, in full;
// JsonValueToBool gives true for any non-zero number and the default for zero.
// ---------------------------------------------------------------------------

QUORANE_API std::wstring JsonValueToWideString(quorane::JsonValue& value,
                                               std::wstring defaultValue);
QUORANE_API std::wstring JsonValueToWideString(quorane::WideJsonValue& value,
                                               std::wstring defaultValue);
QUORANE_API std::string JsonValueToString(quorane::JsonValue& value, std::string defaultValue);
QUORANE_API std::string JsonValueToString(quorane::WideJsonValue& value, std::string defaultValue);
QUORANE_API int JsonValueToInt(quorane::JsonValue& value, int defaultValue);
QUORANE_API int JsonValueToInt(quorane::WideJsonValue& value, int defaultValue);
QUORANE_API long JsonValueToLong(quorane::JsonValue& value, long defaultValue);
QUORANE_API long JsonValueToLong(quorane::WideJsonValue& value, long defaultValue);
QUORANE_API intmax_t JsonValueToIntmax_t(quorane::JsonValue& value, intmax_t defaultValue);
QUORANE_API intmax_t JsonValueToIntmax_t(quorane::WideJsonValue& value, intmax_t defaultValue);
QUORANE_API uintmax_t JsonValueToUIntmax_t(quorane::JsonValue& value, uintmax_t defaultValue);
QUORANE_API uintmax_t JsonValueToUIntmax_t(quorane::WideJsonValue& value, uintmax_t defaultValue);
QUORANE_API float JsonValueToFloat(quorane::JsonValue& value, float defaultValue);
QUORANE_API float JsonValueToFloat(quorane::WideJsonValue& value, float defaultValue);
QUORANE_API bool JsonValueToBool(quorane::JsonValue& value, bool defaultValue);
QUORANE_API bool JsonValueToBool(quorane::WideJsonValue& value, bool defaultValue);

// Makes `destination` a deep copy of `source`, all of its memory drawn from
// `allocator`; strings are copied up to their first NUL. The source may be the
// destination itself, or lie inside it or around it.
QUORANE_API void CopyJsonValue(quorane::WideJsonValue& destination, quorane::WideJsonValue& source,
                               quorane::JsonAllocator& allocator);

// ---------------------------------------------------------------------------
// Network identity. Empty results when nothing qualifies or a query fails.
// ---------------------------------------------------------------------------

// The first IPv4 address of the host's interfaces, in listing order, that is
// neither 0.0.0.0 nor in 127.0.0.0/8.
QUORANE_API std::wstring GetLocalIP();

// Every such address, once each, in code-unit order.
QUORANE_API std::set<std::wstring> GetLocalIpList();

// The hardware address ("00:1C:42:0A:FF:03") behind the last qualifying
// interface whose hardware address can be read; a link-level address shorter
// than six bytes (a tunnel's) counts as unreadable.
QUORANE_API std::wstring GetLocalMAC();

// The same among the interfaces whose address text equals `ip` exactly.
QUORANE_API std::wstring GetLocalMAC(std::wstring ip);

// ---------------------------------------------------------------------------
// Host queries.
// ---------------------------------------------------------------------------

// True when a TCP socket can be bound to the port (decimal text, 0 to 65535)
// on any local address; false for any other text.
QUORANE_API bool CheckTcpPort(std::string port);

// The processor's brand text; empty (after a "sysctl: ..." line on standard
// error) when it cannot be read.
QUORANE_API std::string GetCpuModel();

// Always 0.
QUORANE_API uint64_t GetFreeMemory();

// Always an empty string.
QUORANE_API std::string GetUserNameFromPort(int32_t port);

// ---------------------------------------------------------------------------
// Application launching.
// ---------------------------------------------------------------------------

// {handler application path, file path} for the file's extension; empty when
// no application handles it. The file need not exist. On Linux the handler is
// the default application for the extension's MIME type, and its path is that
// of its desktop entry file.
QUORANE_API std::vector<std::string> GetExecuteCommand(std::wstring path);

// Opens the application named by command[0] with the items command[1...]:
// existing items as file or directory URLs, missing ones as the URL their
// text spells (left out when it is no absolute URL). True when the platform
// accepted the launch; it does not wait for the application. False at once
// when command[0] leads (links followed) to neither a regular file nor a
// directory, a FIFO for one: that is never an application. Throws
// boost::filesystem::filesystem_error when an item's status cannot be read.
QUORANE_API bool LaunchApplication(std::vector<std::string> command);

// Opens an existing file with its handler application; the flag has no effect.
QUORANE_API bool ExecuteFile(std::wstring path, bool flag);

#endif  // QUORANE_UTILS_H
