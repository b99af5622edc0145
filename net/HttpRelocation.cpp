// Where a relocation leads: the statuses that relocate, and a reference resolved against an
// address.
#include "net/HttpRelocation.h"

#include <algorithm>
#include <string>

#include "core/SysUtils.h"
#include "net/HttpUrl.h"

namespace kapo {

bool IsRelocationStatus(int Status)
{
    return Status == 301 || Status == 302 || Status == 303 || Status == 307 || Status == 308;
}

namespace {

// The five parts of a reference; "has" tells an empty part from an absent one.
struct TReference {
    bool HasScheme = false, HasAuthority = false, HasQuery = false;
    std::string Scheme, Authority, Path, Query;
};

TReference SplitReference(const std::string& s)
{
    TReference r;
    std::string rest = s.substr(0, s.find('#'));
    std::size_t colon = rest.find(':');
    if (colon != std::string::npos && colon < rest.find_first_of("/?") && IsSchemeName(rest.substr(0, colon))) {
        r.HasScheme = true;
        r.Scheme = LowerCase(rest.substr(0, colon));
        rest.erase(0, colon + 1);
    }
    if (rest.compare(0, 2, "//") == 0) {
        std::size_t end = rest.find_first_of("/?", 2);
        r.HasAuthority = true;
        r.Authority = rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        rest.erase(0, end == std::string::npos ? rest.size() : end);
    }
    std::size_t q = rest.find('?');
    if (q != std::string::npos) {
        r.HasQuery = true;
        r.Query = rest.substr(q + 1);
        rest.resize(q);
    }
    r.Path = rest;
    return r;
}

}  // namespace

std::string ResolveReference(const std::string& Base, const std::string& Ref)
{
    TReference b = SplitReference(Base), r = SplitReference(Ref), t;
    // "http:/path" on an http page is read as "/path", as browsers do.
    if (r.HasScheme && !r.HasAuthority && r.Scheme == b.Scheme) r.HasScheme = false;
    if (r.HasScheme) {
        t = r;
        t.Path = RemoveDotSegments(r.Path);
    } else {
        t.HasScheme = true;
        t.Scheme = b.Scheme;
        if (r.HasAuthority) {
            t.HasAuthority = true;
            t.Authority = r.Authority;
            t.Path = RemoveDotSegments(r.Path);
            t.HasQuery = r.HasQuery;
            t.Query = r.Query;
        } else {
            t.HasAuthority = b.HasAuthority;
            t.Authority = b.Authority;
            if (r.Path.empty()) {
                t.Path = b.Path;
                t.HasQuery = r.HasQuery || b.HasQuery;
                t.Query = r.HasQuery ? r.Query : b.Query;
            } else {
                if (r.Path[0] == '/') {
                    t.Path = RemoveDotSegments(r.Path);
                } else {
                    // Merged with the base's folder; an authority with no path has the root.
                    std::size_t slash = b.Path.rfind('/');
                    std::string folder = b.HasAuthority && b.Path.empty()
                                             ? std::string("/")
                                             : (slash == std::string::npos ? std::string() : b.Path.substr(0, slash + 1));
                    t.Path = RemoveDotSegments(folder + r.Path);
                }
                t.HasQuery = r.HasQuery;
                t.Query = r.Query;
            }
        }
    }
    std::string out = t.Scheme + ":";
    if (t.HasAuthority) out += "//" + t.Authority;
    out += t.Path;
    if (t.HasQuery) out += "?" + t.Query;
    return out;
}

}  // namespace kapo
