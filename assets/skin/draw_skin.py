#!/usr/bin/python3
"""Draws Quorvex's window skin, splash picture and program icon (16 to 128 pixels, and as SVG)
into this folder.

The PNG files beside this script are its output and are compiled into the program; run it
again after a change (needs python3-pil and fonts-dejavu-core):

    /usr/bin/python3 assets/skin/draw_skin.py

Every picture is drawn from shapes and the DejaVu Sans face, so the artwork is ours and can
be changed here. Sizes and roles follow the window layout: the left panel (88 x 252) carries
the patrol lamp, the two title buttons, the patrol switch, the countdown window and the three
command buttons; the frame strips and sides surround the 320 x 240 picture area.
"""

import os

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONT_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
FONT_PLAIN = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

# Palette: a slate body with a teal accent when active, plain grey when inactive.
ACTIVE = {"top": (58, 76, 96), "bottom": (30, 40, 54), "accent": (64, 190, 200), "edge": (120, 150, 175),
          "text": (220, 232, 240)}
INACTIVE = {"top": (92, 96, 102), "bottom": (66, 70, 76), "accent": (150, 156, 162), "edge": (140, 144, 150),
            "text": (200, 204, 208)}


def font(size, bold=True):
    return ImageFont.truetype(FONT_BOLD if bold else FONT_PLAIN, size)


def save(image, name):
    image.save(os.path.join(HERE, name), optimize=True)


def gradient(size, top, bottom, vertical=True):
    width, height = size
    image = Image.new("RGB", size)
    draw = ImageDraw.Draw(image)
    steps = height if vertical else width
    for i in range(steps):
        t = i / max(1, steps - 1)
        colour = tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
        if vertical:
            draw.line([(0, i), (width - 1, i)], fill=colour)
        else:
            draw.line([(i, 0), (i, height - 1)], fill=colour)
    return image


def bevel(draw, box, light, dark):
    """A one-pixel raised edge: light top and left, dark bottom and right."""
    left, top, right, bottom = box
    draw.line([(left, bottom), (left, top), (right, top)], fill=light)
    draw.line([(left + 1, bottom), (right, bottom), (right, top + 1)], fill=dark)


def centred_text(draw, box, text, face, fill):
    left, top, right, bottom = box
    x0, y0, x1, y1 = draw.textbbox((0, 0), text, font=face)
    x = left + (right - left - (x1 - x0)) / 2 - x0
    y = top + (bottom - top - (y1 - y0)) / 2 - y0
    draw.text((round(x), round(y)), text, font=face, fill=fill)


def recess(draw, box, fill):
    """A sunken well: dark top and left, light bottom and right."""
    draw.rectangle(box, fill=fill)
    bevel(draw, box, (16, 20, 26), (150, 170, 190))


def panel(colours, name):
    image = gradient((88, 252), colours["top"], colours["bottom"])
    draw = ImageDraw.Draw(image)
    bevel(draw, (0, 0, 87, 251), colours["edge"], (12, 16, 22))
    # Wells behind the lamp, the switch and the countdown.
    recess(draw, (4, 4, 50, 28), (14, 18, 24))
    recess(draw, (25, 45, 61, 61), (14, 18, 24))
    recess(draw, (24, 79, 64, 94), (8, 12, 10))
    small = font(7)
    centred_text(draw, (0, 34, 88, 43), "PATROL", small, colours["text"])
    centred_text(draw, (0, 68, 88, 77), "NEXT CHECK", small, colours["text"])
    # The colon between minutes and seconds, in the gap between the second and third digit.
    draw.rectangle((43, 84, 44, 85), fill=colours["accent"])
    draw.rectangle((43, 88, 44, 89), fill=colours["accent"])
    # Accent rule between the countdown and the command buttons.
    draw.line([(10, 101), (77, 101)], fill=colours["accent"])
    draw.line([(10, 133), (77, 133)], fill=(12, 16, 22))
    # The mark: a lens in a rounded camera body, and the name.
    body = (22, 190, 66, 222)
    draw.rounded_rectangle(body, radius=5, fill=(20, 26, 34), outline=colours["edge"])
    draw.rectangle((28, 186, 38, 190), fill=(20, 26, 34), outline=colours["edge"])
    draw.ellipse((34, 195, 54, 215), fill=(10, 12, 16), outline=colours["accent"], width=2)
    draw.ellipse((40, 201, 48, 209), fill=colours["accent"])
    draw.ellipse((41, 202, 43, 204), fill=(240, 250, 255))
    centred_text(draw, (0, 228, 88, 244), "Quorvex", font(11), colours["text"])
    save(image, name)


def strip(size, colours, name):
    vertical = size[1] > size[0]
    image = gradient(size, colours["edge"], colours["bottom"], vertical=not vertical)
    draw = ImageDraw.Draw(image)
    width, height = size
    if vertical:
        draw.line([(width - 1, 0), (width - 1, height - 1)], fill=(12, 16, 22))
    else:
        draw.line([(0, height - 1), (width - 1, height - 1)], fill=(12, 16, 22))
        draw.line([(0, 0), (width - 1, 0)], fill=colours["accent"] if colours is ACTIVE else colours["edge"])
    save(image, name)


def title_button(sign, pressed, name):
    size = (13, 13)
    top, bottom = ((70, 90, 110), (40, 52, 66)) if not pressed else ((30, 40, 52), (56, 74, 92))
    image = gradient(size, top, bottom)
    draw = ImageDraw.Draw(image)
    light, dark = ((150, 175, 195), (10, 14, 20)) if not pressed else ((10, 14, 20), (150, 175, 195))
    bevel(draw, (0, 0, 12, 12), light, dark)
    shift = 1 if pressed else 0
    ink = (235, 242, 248)
    if sign == "_":
        draw.rectangle((3 + shift, 8 + shift, 9 + shift, 9 + shift), fill=ink)
    else:
        draw.line([(3 + shift, 3 + shift), (9 + shift, 9 + shift)], fill=ink, width=2)
        draw.line([(9 + shift, 3 + shift), (3 + shift, 9 + shift)], fill=ink, width=2)
    save(image, name)


def word_button(word, pressed, name):
    size = (51, 16)
    if pressed:
        image = gradient(size, (24, 96, 104), (46, 150, 160))
        light, dark, ink = (8, 30, 34), (150, 220, 225), (255, 255, 255)
    else:
        image = gradient(size, (96, 116, 136), (52, 66, 82))
        light, dark, ink = (170, 190, 208), (14, 18, 24), (236, 242, 246)
    draw = ImageDraw.Draw(image)
    bevel(draw, (0, 0, 50, 15), light, dark)
    shift = 1 if pressed else 0
    centred_text(draw, (shift, shift, 51 + shift, 16 + shift), word, font(9), ink)
    save(image, name)


def patrol_switch(on, name):
    image = Image.new("RGB", (33, 13), (14, 18, 24))
    draw = ImageDraw.Draw(image)
    track = (34, 170, 70) if on else (16, 70, 34)
    draw.rounded_rectangle((0, 0, 32, 12), radius=6, fill=track, outline=(8, 12, 10))
    knob_x = 20 if on else 1
    draw.ellipse((knob_x, 1, knob_x + 11, 11), fill=(230, 236, 240) if on else (140, 150, 150), outline=(20, 24, 28))
    centred_text(draw, (1, 0, 20, 13) if on else (12, 0, 32, 13), "ON" if on else "OFF", font(7),
                 (240, 255, 240) if on else (120, 160, 130))
    save(image, name)


def patrol_lamp(lit, name):
    image = Image.new("RGB", (43, 21), (14, 18, 24))
    draw = ImageDraw.Draw(image)
    if lit:
        for r, colour in ((9, (60, 120, 40)), (7, (120, 220, 80)), (5, (200, 255, 150)), (2, (250, 255, 235))):
            draw.ellipse((10 - r, 10 - r, 10 + r, 10 + r), fill=colour)
    else:
        draw.ellipse((3, 3, 17, 17), fill=(30, 52, 30), outline=(50, 70, 50))
    centred_text(draw, (20, 0, 43, 21), "LIVE" if lit else "IDLE", font(7),
                 (170, 250, 140) if lit else (96, 110, 100))
    save(image, name)


# Segments of a 7 x 10 cell, columns 1 to 5 so that neighbouring digits keep a gap: a top, b upper right, c lower right, d bottom, e lower left,
# f upper left, g middle.
SEGMENTS = {"a": [(2, 0), (4, 0)], "b": [(5, 1), (5, 4)], "c": [(5, 5), (5, 8)], "d": [(2, 9), (4, 9)],
            "e": [(1, 5), (1, 8)], "f": [(1, 1), (1, 4)], "g": [(2, 5), (4, 5)]}
DIGITS = ["abcdef", "bc", "abged", "abgcd", "fgbc", "afgcd", "afgedc", "abc", "abcdefg", "abcdfg"]


def countdown_digits(name):
    """A blank cell, then 0 to 9, 7 pixels each, in an 8-bit palette picture."""
    image = Image.new("RGB", (77, 10), (8, 12, 10))
    draw = ImageDraw.Draw(image)
    unlit, lit = (20, 40, 24), (110, 255, 120)
    for cell in range(11):
        x0 = cell * 7
        on = DIGITS[cell - 1] if cell > 0 else ""
        for segment, ends in SEGMENTS.items():
            colour = lit if segment in on else unlit
            (x1, y1), (x2, y2) = ends
            draw.line([(x0 + x1, y1), (x0 + x2, y2)], fill=colour)
    save(image.convert("P", palette=Image.ADAPTIVE, colors=16), name)


def thumb_parts():
    edge, body, light = (40, 60, 80), (90, 130, 165), (150, 190, 215)
    top = Image.new("RGB", (8, 2), body)
    ImageDraw.Draw(top).line([(1, 0), (6, 0)], fill=edge)
    ImageDraw.Draw(top).point([(0, 1), (7, 1)], fill=edge)
    bottom = Image.new("RGB", (8, 2), body)
    ImageDraw.Draw(bottom).line([(1, 1), (6, 1)], fill=edge)
    ImageDraw.Draw(bottom).point([(0, 0), (7, 0)], fill=edge)
    middle = Image.new("RGB", (8, 1), body)
    ImageDraw.Draw(middle).point([(0, 0), (7, 0)], fill=edge)
    ImageDraw.Draw(middle).point([(2, 0)], fill=light)
    for image, name in ((top, "thumb_top.png"), (bottom, "thumb_bottom.png"), (middle, "thumb_body.png")):
        save(image.convert("P", palette=Image.ADAPTIVE, colors=8), name)


def lens(draw, centre, radius, accent):
    cx, cy = centre
    draw.ellipse((cx - radius, cy - radius, cx + radius, cy + radius), fill=(10, 12, 16), outline=accent,
                 width=max(2, radius // 6))
    inner = radius * 45 // 100
    draw.ellipse((cx - inner, cy - inner, cx + inner, cy + inner), fill=accent)
    glint = max(1, radius // 7)
    gx, gy = cx - inner // 2, cy - inner // 2
    draw.ellipse((gx - glint, gy - glint, gx + glint, gy + glint), fill=(240, 250, 255))


def splash(name):
    image = gradient((240, 140), (40, 58, 80), (14, 20, 30))
    draw = ImageDraw.Draw(image)
    bevel(draw, (0, 0, 239, 139), (120, 150, 175), (6, 8, 12))
    # An envelope flying into the camera.
    draw.rounded_rectangle((24, 36, 104, 96), radius=10, fill=(22, 28, 38), outline=(120, 150, 175), width=2)
    draw.rectangle((38, 28, 58, 36), fill=(22, 28, 38), outline=(120, 150, 175))
    lens(draw, (66, 66), 22, ACTIVE["accent"])
    draw.rectangle((126, 52, 160, 74), fill=(236, 240, 244), outline=(90, 100, 110))
    draw.line([(126, 52), (143, 65), (160, 52)], fill=(90, 100, 110), width=2)
    for i, x in enumerate((108, 114, 120)):
        draw.line([(x, 63 + i), (x + 3, 63 + i)], fill=ACTIVE["accent"])
    draw.text((112, 86), "Quorvex", font=font(22), fill=(232, 240, 246))
    draw.text((114, 112), "camera by mail", font=font(10, bold=False), fill=(150, 200, 210))
    save(image, name)


def icon(size, name):
    image = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    draw = ImageDraw.Draw(image)
    s = size / 64
    draw.rounded_rectangle((4 * s, 14 * s, 60 * s, 54 * s), radius=8 * s, fill=(40, 56, 74, 255),
                           outline=(140, 170, 195, 255), width=max(1, round(2 * s)))
    draw.rectangle((12 * s, 8 * s, 26 * s, 14 * s), fill=(40, 56, 74, 255), outline=(140, 170, 195, 255))
    lens(draw, (round(34 * s), round(34 * s)), round(16 * s), ACTIVE["accent"] + (255,))
    save(image, name)


def icon_svg(name):
    """The program icon of icon() as a scalable drawing (64 units square), for desktops that
    scale it to any size."""
    accent = "#%02x%02x%02x" % ACTIVE["accent"]
    cx = cy = 34
    radius = 16
    inner = radius * 45 / 100
    glint = radius // 7
    svg = f"""<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
  <title>Quorvex</title>
  <rect x="12" y="8" width="14" height="6" fill="#28384a" stroke="#8caac3" stroke-width="1"/>
  <rect x="5" y="15" width="54" height="38" rx="8" fill="#28384a" stroke="#8caac3" stroke-width="2"/>
  <circle cx="{cx}" cy="{cy}" r="{radius - 1}" fill="#0a0c10" stroke="{accent}" stroke-width="2"/>
  <circle cx="{cx}" cy="{cy}" r="{inner:g}" fill="{accent}"/>
  <circle cx="{cx - inner / 2:g}" cy="{cy - inner / 2:g}" r="{glint}" fill="#f0faff"/>
</svg>
"""
    with open(os.path.join(HERE, name), "w", encoding="utf-8") as out:
        out.write(svg)


def main():
    panel(ACTIVE, "panel_active.png")
    panel(INACTIVE, "panel_inactive.png")
    strip((332, 6), ACTIVE, "frame_top_active.png")
    strip((332, 6), ACTIVE, "frame_bottom_active.png")
    strip((332, 6), INACTIVE, "frame_top_inactive.png")
    strip((332, 6), INACTIVE, "frame_bottom_inactive.png")
    strip((6, 240), ACTIVE, "frame_side_active.png")
    strip((6, 240), INACTIVE, "frame_side_inactive.png")
    title_button("_", False, "iconify_up.png")
    title_button("_", True, "iconify_down.png")
    title_button("X", False, "exit_up.png")
    title_button("X", True, "exit_down.png")
    for word, stem in (("Setting", "settings"), ("Preview", "preview"), ("Logview", "logview")):
        word_button(word, False, stem + "_up.png")
        word_button(word, True, stem + "_down.png")
    patrol_switch(False, "patrol_off.png")
    patrol_switch(True, "patrol_on.png")
    patrol_lamp(False, "lamp_off.png")
    patrol_lamp(True, "lamp_lit.png")
    countdown_digits("digits.png")
    thumb_parts()
    splash("splash.png")
    icon(128, "icon128.png")
    icon_svg("quorvex.svg")
    icon(64, "icon64.png")
    icon(32, "icon32.png")
    icon(16, "icon16.png")


if __name__ == "__main__":
    main()
