// The settings variables: the one channel between the three plug-ins.
// udf_loadini publishes them from the settings file (and so does any call
// that finds them not loaded); tarvik and velmar read them on every call.
#pragma once

#include <climits>

namespace quarn::setting {

struct Variable {
  const char* name;           // in the server's environment
  const char* section;        // in the settings file
  const char* entry;
  const char* default_value;  // published when the entry is absent
  bool integer;               // read as a number, published as decimal text
  bool secret = false;        // never shown to SQL, only whether it is set
  // The range of an integer setting.
  long lowest = LONG_MIN;
  long highest = LONG_MAX;
  // Outside the range (or without a number): true, the default stands
  // instead, both when published and when a call reads it (the value may
  // also come from the server's own environment); false, it is published as
  // written and a call that reads it refuses to go on.
  bool default_outside_range = true;
  // The base a call reads the published text with (strtol): 0, as the
  // loader reads the file; 10, decimal digits only, as atoi.
  int base = 0;

  constexpr bool in_range(long number) const { return number >= lowest && number <= highest; }
};

inline constexpr Variable kImageDir{"UDF_IMAGEDIR", "thumbnail", "image-directory", "./", false};
// Megabytes all tarvik calls' decoding may take at once in the server
// process; outside 16 MB to 1 TB the default stands.
inline constexpr Variable kThumbnailMemory{"UDF_THUMBNAILMEMORY", "thumbnail", "thumbnail-memory",
                                           "1024", true, false, 16, 1048576};
// Seconds one tarvik call's decoding may take before it is stopped; outside
// 1 s to 1 hour the default stands.
inline constexpr Variable kThumbnailTimeout{"UDF_THUMBNAILTIMEOUT", "thumbnail", "thumbnail-timeout",
                                            "60", true, false, 1, 3600};
// Threads one tarvik call may decode a picture's parts on (the tiles of a
// HEIC or AVIF grid); 0 means one per core, at most 4; outside 0 to 64 the
// default stands.
inline constexpr Variable kThumbnailThreads{"UDF_THUMBNAILTHREADS", "thumbnail", "thumbnail-threads",
                                            "0", true, false, 0, 64};
inline constexpr Variable kSmtpHost{"UDF_SMTPHOST", "email", "smtp-host", "localhost", false};
inline constexpr Variable kSmtpUser{"UDF_SMTPUSER", "email", "smtp-user", "", false};
inline constexpr Variable kSmtpPassword{"UDF_SMTPPASSWORD", "email", "smtp-password", "", false,
                                        true};
// A port outside 1 to 65535 would wrap to another service's port: velmar
// refuses it rather than connect there.
inline constexpr Variable kSmtpPort{"UDF_SMTPPORT", "email", "smtp-port", "25", true, false,
                                    1, 65535, false, 10};
// Seconds velmar waits for a connect, for each reply and for a write that
// makes no progress.
inline constexpr Variable kSmtpTimeout{"UDF_SMTPTIMEOUT", "email", "smtp-timeout", "30", true,
                                       false, 1, 3600};
// How velmar protects the conversation: none, starttls or tls (any letter
// case). Missing (as when the server's own environment has no such
// variable) means none, the plain conversation of older settings files.
inline constexpr Variable kSmtpSecurity{"UDF_SMTPSECURITY", "email", "smtp-security", "none", false};
// PEM file of the certificates velmar trusts instead of the system's trust
// store; missing means the system's store.
inline constexpr Variable kSmtpCaFile{"UDF_SMTPCAFILE", "email", "smtp-ca-file", "", false};
// The name velmar gives itself in EHLO; missing means the machine's
// fully-qualified name, or an address literal of the connection.
inline constexpr Variable kSmtpHelo{"UDF_SMTPHELO", "email", "smtp-helo", "", false};
// Whether velmar logs in: login (AUTH LOGIN where the server offers AUTH)
// or none (no AUTH, no user or password needed: a local relay); any letter
// case. Missing means login, the behaviour of older settings files.
inline constexpr Variable kSmtpAuth{"UDF_SMTPAUTH", "email", "smtp-auth", "login", false};
// The variables of the server's environment that udf_getenvvar shows
// besides these settings: names separated by commas or blanks, "*" for
// all; missing means none.
inline constexpr Variable kGetenvvarNames{"UDF_GETENVVARNAMES", "general", "getenvvar-names", "",
                                          false};
// Present once every setting has been published: the loaded marker.
inline constexpr Variable kErrorLog{"UDF_ERRORLOG", "general", "error-log", "udf_error.log", false};

// In the order of publication, the marker last.
inline constexpr const Variable* kPublished[] = {&kImageDir, &kSmtpHost, &kSmtpUser,
                                                 &kSmtpPassword, &kSmtpPort, &kSmtpTimeout,
                                                 &kSmtpSecurity, &kSmtpCaFile, &kSmtpHelo,
                                                 &kSmtpAuth,
                                                 &kGetenvvarNames, &kThumbnailMemory,
                                                 &kThumbnailTimeout, &kThumbnailThreads,
                                                 &kErrorLog};

}  // namespace quarn::setting
