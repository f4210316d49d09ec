#pragma once

#include <QIcon>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bfs {

class TImageList;

// The desktop's icon for files of extension Ext (with its dot, ".txt"), found by the extension's
// MIME type; a null icon when the type is unknown or no icon stands for it.
QIcon GetFileTypeIcon(const std::string& Ext);

// The plan view's type icons for one analysis: the pictures of the file types met so far, appended
// to the plan images after their 13 fixed pictures, at most 37 of them (images 13 to 49). A file
// whose type has no icon, or that comes after the list is full, shows the plain file picture (6).
class TFileTypeIcons {
  public:
    static constexpr int32_t FIXED_IMAGES = 13;
    static constexpr int32_t MAX_IMAGES = 50;
    static constexpr int32_t IMAGE_PLAIN_FILE = 6;

    using TLookup = std::function<QIcon(const std::string& Ext)>;
    // Images: the plan images; Lookup: where icons come from (GetFileTypeIcon when not given).
    explicit TFileTypeIcons(TImageList& Images, TLookup Lookup = {});

    std::vector<std::string> IconExtensions;  // extension of image 13 + i
    std::string NoIconExtensions;             // ",.ext" for every extension that had no icon

    // The image of extension Ext: 6 when Ext occurs anywhere in NoIconExtensions (a plain substring
    // test, so ".tx" is answered by ",.txt"); 13 + i when Ext is IconExtensions[i] (exact bytes);
    // else, while the images are fewer than 50, the icon looked up and appended, or 6 (and Ext
    // noted in NoIconExtensions) when there is none; 6 once the list is full.
    int32_t GetFileTypeIcon(const std::string& Ext);
    // The image of a file by its name's extension: what TPlan::FileImage asks.
    int32_t ImageOf(const std::string& Name);
    // Forgets every type (after each analysis): the images are cut back to the fixed ones.
    void Reset();

  private:
    TImageList& m_Images;
    TLookup m_Lookup;
};

}  // namespace bfs
