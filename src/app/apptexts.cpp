#include "apptexts.h"

#include <utility>

namespace {

const TMessageEntry kMessages[msCount] = {
    {"MS_Processing", "正在创建PDF......", "Creating PDF..."},
    {"MS_Opening", "正在打开......", "Opening..."},
    {"MS_Info", "提示", "Notice"},
    {"MS_Error", "错误", "Error"},
    {"MS_Ver", "版本 %1", "Version %1"},
    {"MS_SelImage", "添加图片", "Add pictures"},
    {"MS_SaveAs", "另存为", "Save as"},
    {"MS_Total", "列表中共有 %1 个图片，", "The list holds %1 pictures,"},
    {"MS_Tip1", "点击“添加图片”或“打开文件夹”按钮添加图片。",
     "Click \"Add pictures\" or \"Open folder\" to add pictures."},
    {"MS_Tip2", "点击“开始转换”按钮将列表中的图片制作成PDF文件。",
     "Click \"Start conversion\" to make the listed pictures into a PDF file."},
    {"MS_Tip4", "请先选择图片文件，然后进行转换。", "Choose picture files first, then convert."},
    {"MS_Tip5", "保存文件时发生错误。", "An error occurred while saving the file."},
    {"MS_Tip6", "列表中的图片将被删除，确定吗？",
     "The pictures in the list will be removed. Are you sure?"},
    {"MS_Tip7", "选择的图片将被删除，确定吗？", "The selected pictures will be removed. Are you sure?"},
    {"MS_Tip8", "边距过大，请修改。", "The margin is too large, please change it."},
    {"MS_Custom", "自定义", "Custom"},
    {"MS_FirstPic", "第一幅尺寸", "Size of the first picture"},
};

}  // namespace

const char* const SuccessText = "PDF文件创建成功。";
const char* const SuccessCaption = "提示";
const char* const AppVersion = "1.9.4.1";

const TMessageEntry& MessageEntry(TMessageId id) { return kMessages[id < msCount ? id : 0]; }

TMessageId MessageIdOfKey(std::string_view key) {
  for (int i = 0; i < msCount; ++i)
    if (key == kMessages[i].Key) return static_cast<TMessageId>(i);
  return msCount;
}

TMessageTexts::TMessageTexts() {
  for (int i = 0; i < msCount; ++i) texts_[i] = kMessages[i].BuiltIn;
}

TMessageTexts TMessageTexts::English() {
  TMessageTexts t;
  for (int i = 0; i < msCount; ++i) t.texts_[i] = kMessages[i].English;
  return t;
}

bool TMessageTexts::SetByKey(std::string_view key, std::string text) {
  TMessageId id = MessageIdOfKey(key);
  if (id == msCount) return false;
  texts_[id] = std::move(text);
  return true;
}
