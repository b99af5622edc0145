// Picture, shape and notebook controls.
#pragma once

#include "ui/Controls.h"

namespace kapo {

// Shows a bitmap at its top-left corner and reports the mouse in the picture's coordinates.
class TImage : public TGraphicControl {
public:
    explicit TImage(TComponent* owner);
    ~TImage() override;
    TBitmap& Picture() { return *FPicture; }
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool a);
    // A picture button with the keyboard focus shows a dotted frame.
    void Paint() override;
    // Where the screen scales, the picture's fine copy.
    QImage ScreenImage(qreal ratio) override;

private:
    void PictureChanged();
    std::unique_ptr<TBitmap> FPicture;
    bool FAutoSize = false;
};

enum TShapeType { stRectangle, stSquare, stRoundRect, stEllipse, stCircle };

class TShape : public TGraphicControl {
public:
    explicit TShape(TComponent* owner);
    TBrush& Brush() { return FBrush; }
    TPen& Pen() { return FPen; }
    void SetBrushColor(TColor c);  // changes the fill and repaints
    TShapeType Shape() const { return FShape; }
    void SetShape(TShapeType s) { FShape = s; Invalidate(); }
    void Paint() override;

private:
    TBrush FBrush;
    TPen FPen;
    TShapeType FShape = stRectangle;
};

class TNotebook;

// One page of a notebook; controls are placed on it as on any container.
class TPage : public TCustomControl {
public:
    TPage(TNotebook* notebook, const std::string& caption);
    const std::string& Caption() const { return FCaption; }
    void Paint() override;

private:
    std::string FCaption;
};

// A stack of pages of which one is shown. The notebook owns its pages.
class TNotebook : public TCustomControl {
public:
    explicit TNotebook(TComponent* owner);
    TPage* AddPage(const std::string& caption);
    int PageCount() const { return static_cast<int>(FPages.size()); }
    TPage* Pages(int i) const { return FPages.at(static_cast<std::size_t>(i)); }
    int PageIndex() const { return FPageIndex; }
    void SetPageIndex(int i);
    std::string ActivePage() const;
    void SetActivePage(const std::string& caption);
    void SetBounds(int left, int top, int width, int height) override;
    void SetColor(TColor c) override;

private:
    std::vector<TPage*> FPages;
    int FPageIndex = 0;
};

}  // namespace kapo
