#pragma once
// The user's decimal separator, for numbers the program writes for people to read (analysis
// tables, plot labels). Files and variant texts keep "." whatever the user's setting.

// Decimal separator of the user's numeric locale (LC_ALL / LC_NUMERIC / LANG), whether or not the
// process has adopted it; the current C locale's when the user's cannot be loaded. Any thread.
char16_t LocaleDecimalSeparator();
