// The product web host and the fixed texts of the window that name it.
#pragma once

#include <QString>

namespace kestrin {

// The contact number shown on the usage page and the links page (a placeholder until the
// real one is known).
inline constexpr const char16_t* kContactNumber = u"12345678";

// The product web host: "www.kestrinseo.com", unless the environment variable
// KESTRIN_SITE_HOST (host or host:port) says otherwise. The environment is read once, on
// first use; an empty value counts as unset.
[[nodiscard]] const QString& product_site_host();

// "http://" + host + path, for a path that starts with "/".
[[nodiscard]] QString product_site_url(const QString& path);

// The main window's title, ending in the product web host.
[[nodiscard]] QString main_window_title();

// The seven lines of the usage page, joined by "\n" (the box's own line break).
[[nodiscard]] QString usage_text();

// The product description of the usage page.
[[nodiscard]] QString product_description();

// The contact line of the links page.
[[nodiscard]] QString contact_line();

}  // namespace kestrin
