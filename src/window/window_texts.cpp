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

namespace {

// "%1" stands for the program's folder, "%2" for the Documents folder.
constexpr std::string_view kTemporaryFolderEnglish =
    "Tallivan is running from a temporary folder, which Windows empties later, and a book kept "
    "beside it would go with it: %1. Close this window, unpack the whole zip (right-click it, "
    "Extract All) into a folder of your own, such as Documents (%2), and start tallivan.exe there.";
constexpr std::string_view kTemporaryFolderChinese =
    "Tallivan 正在从临时文件夹中运行，Windows "
    "以后会清空这个文件夹，放在程序旁边的账本也会随之丢失："
    "%1。请关闭本窗口，把整个 zip 文件解压（右键单击它，选择“全部解压缩”）到你自己的文件夹，例如“"
    "文档”（%2），然后从那里启动 tallivan.exe。";

}  // namespace

std::string TemporaryFolderWarning(const std::string& folder, const std::string& documents) {
  std::string text;
  for (const std::string_view line : {kTemporaryFolderEnglish, kTemporaryFolderChinese}) {
    if (!text.empty()) text += "\r\n";
    for (size_t at = 0; at < line.size(); ++at) {
      const bool mark = line[at] == '%' && at + 1 < line.size();
      if (mark && line[at + 1] == '1') {
        text += folder, ++at;
      } else if (mark && line[at + 1] == '2') {
        text += documents, ++at;
      } else {
        text += line[at];
      }
    }
  }
  return text;
}

}  // namespace tallivan
