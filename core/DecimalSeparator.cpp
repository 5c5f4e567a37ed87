#include "core/DecimalSeparator.h"

#include "core/MString.h"

#include <clocale>
#include <langinfo.h>
#include <locale.h>
#include <string>

char16_t LocaleDecimalSeparator() {
    std::string point;
    if (locale_t user = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr))) {
        if (const char* p = ::nl_langinfo_l(RADIXCHAR, user)) point = p;
        ::freelocale(user);
    } else if (const lconv* conv = std::localeconv(); conv && conv->decimal_point) {
        point = conv->decimal_point;
    }
    const MString text(point);
    return text.IsEmpty() ? u'.' : text[0];
}
