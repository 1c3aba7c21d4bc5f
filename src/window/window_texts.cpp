#include "window/window_texts.h"

namespace tallivan {

const std::u16string_view kSampleText =
    u"今天在路边捡到了[0.01]元钱。\r\n"
    u"#\r\n"
    u"把这[-0.01]元钱交给了警察叔叔。\r\n"
    u"#\r\n"
    u"双斜杠后面的内容是注释 //注释里的金额不计算[1000]\r\n"
    u"#\r\n"
    u"\r\n"
    u"一千个一分钱[1000 0.01]~\r\n"
    u"#\r\n"
    u"\r\n"
    u"按下F1-F12任意一个键...\r\n"
    u"Press any key between F1 and F12...\r\n";

}  // namespace tallivan
