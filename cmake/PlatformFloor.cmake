# The oldest distribution the program runs on is Ubuntu 22.04 LTS: GLib 2.72, GTK 3.24 and
# OpenSSL 3.0. Pinning the headers to those versions turns any call that an older target lacks, or
# that is deprecated there, into a compile-time warning (an error in CI) instead of a start-up
# failure on a user's machine. tests/system/test_symbol_versions.py checks what the linked
# executable ends up needing.
add_compile_definitions(
  GLIB_VERSION_MIN_REQUIRED=GLIB_VERSION_2_72
  GLIB_VERSION_MAX_ALLOWED=GLIB_VERSION_2_72
  GDK_VERSION_MIN_REQUIRED=GDK_VERSION_3_24
  GDK_VERSION_MAX_ALLOWED=GDK_VERSION_3_24
  OPENSSL_API_COMPAT=30000
  OPENSSL_NO_DEPRECATED)
