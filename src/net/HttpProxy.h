#pragma once
// Whether requests go through a proxy. Proxies are configured the way every
// Linux HTTP client reads them: http_proxy, https_proxy / HTTPS_PROXY and
// all_proxy / ALL_PROXY in the environment (no_proxy exempts hosts). Any thread.

// True when one of those variables is set and not empty. Never throws.
bool IsProxyEnabled() noexcept;
