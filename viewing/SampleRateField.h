#pragma once
// The field of the import prompt ("Частота дискретизации"): the rate, in whole samples per second,
// at which the numbers of a text file were taken. Pure functions, any thread.

#include "core/MString.h"

// Caption, question and initial text of the prompt.
inline constexpr char16_t kSampleRateCaption[] = u"Частота дискретизации";
inline constexpr char16_t kSampleRateQuestion[] =
    u"Пожалуйста, укажите частоту дискретизации, с которой были записаны ваши данные (Гц)";
inline constexpr char16_t kSampleRateInitial[] = u"60";

// Rates the field accepts, and what it falls back to outside them.
inline constexpr int kSampleRateMin = 6;
inline constexpr int kSampleRateMax = 10000;
inline constexpr int kSampleRateFallback = 100;

// While typing (each key release): a text that is empty or an optional sign followed by decimal
// digits, with blanks around, stays; any other becomes its lenient integer value ("12a" -> "12",
// "abc" -> "0").
MString SampleRateWhileTyping(const MString& text);
// On Enter, leaving the field and "Ok": the lenient integer value, 100 when outside 6 ... 10000.
int SampleRateValue(const MString& text);
// The text the field shows after validation.
MString SampleRateValidated(const MString& text);
