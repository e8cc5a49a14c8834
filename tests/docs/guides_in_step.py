#!/usr/bin/env python3
"""The song guide exists in English (docs/mml.md) and in Japanese (docs/mml.ja.md).

Both must have the same headings, level for level and in the same order, and every section the
same code blocks (in order) and the same code spans (in any order, since sentences are ordered
differently in the two languages). Links to a heading inside a guide must name one of its
headings. Each difference is reported with the file, line and heading, so whoever changes the
English guide sees what to carry over into the Japanese one.

Usage: guides_in_step.py [ENGLISH JAPANESE]      check the two guides (default: the repository's)
       guides_in_step.py --self-test             check that this checker notices drift
"""
import collections
import difflib
import itertools
import pathlib
import re
import sys

HEADING = re.compile(r'^(#{1,6})[ \t]+(.*?)[ \t]*$')
FENCE = re.compile(r'^[ \t]{0,3}(`{3,}|~{3,})')
ANCHOR_LINK = re.compile(r'\]\(#([^)\s]+)\)')
BACKTICKS = re.compile(r'`+')


class Section:
    def __init__(self, level, title, line):
        self.level, self.title, self.line = level, title, line
        self.spans = collections.Counter()
        self.blocks = []  # (first line, text)

    def key(self):
        return (self.level, tuple(code_spans(self.title)), tuple(sorted(self.spans.items())),
                tuple(text for _, text in self.blocks))

    def name(self):
        return '#' * self.level + ' ' + self.title if self.level else '(before the first heading)'


def code_spans(text):
    """The code spans of a paragraph, as CommonMark finds them: a run of n backticks up to the
    next run of exactly n backticks; a line break inside a span counts as a space."""
    spans, i = [], 0
    while True:
        opening = BACKTICKS.search(text, i)
        if not opening:
            return spans
        n = len(opening.group())
        closing = re.compile(r'(?<!`)`{%d}(?!`)' % n).search(text, opening.end())
        if not closing:
            i = opening.end()
            continue
        spans.append(text[opening.end():closing.start()].replace('\n', ' '))
        i = closing.end()


def slug(title, seen):
    """The anchor a Markdown renderer gives a heading (the GitHub rule)."""
    text = re.sub(r'`+', '', title).strip().lower()
    text = re.sub(r'[^\w\- ]', '', text).replace(' ', '-')
    count = seen[text]
    seen[text] += 1
    return text if count == 0 else f'{text}-{count}'


def parse(text):
    sections = [Section(0, '', 1)]
    paragraph, fence, block, links = [], None, [], []

    def end_paragraph():
        sections[-1].spans.update(code_spans('\n'.join(paragraph)))
        paragraph.clear()

    for number, line in enumerate(text.splitlines(), 1):
        if fence:
            if re.fullmatch(r'[ \t]{0,3}' + re.escape(fence) + fence[0] + r'*[ \t]*', line):
                sections[-1].blocks.append((block[0], '\n'.join(block[1:])))
                fence = None
            else:
                block.append(line)
            continue
        opening = FENCE.match(line)
        heading = HEADING.match(line)
        links += [(number, target) for target in ANCHOR_LINK.findall(line)]
        if opening:
            end_paragraph()
            fence, block = opening.group(1), [number, line.strip()]  # the info string counts too
        elif heading:
            end_paragraph()
            sections.append(Section(len(heading.group(1)), heading.group(2), number))
        elif line.strip():
            paragraph.append(line)
        else:
            end_paragraph()
    end_paragraph()
    return sections, links


def section_differences(en, ja, en_name, ja_name):
    where = f'{en_name}:{en.line} "{en.name()}" and {ja_name}:{ja.line} "{ja.name()}"'
    problems = []
    if en.level != ja.level:
        problems.append(f'{where}: heading levels differ ({en.level} and {ja.level})')
    if code_spans(en.title) != code_spans(ja.title):
        problems.append(f'{where}: the headings have different code spans '
                        f'({code_spans(en.title)} and {code_spans(ja.title)})')
    for span, count in (en.spans - ja.spans).items():
        problems.append(f'{where}: code span `{span}` is in {en_name} {count} more time(s) '
                        f'than in {ja_name}')
    for span, count in (ja.spans - en.spans).items():
        problems.append(f'{where}: code span `{span}` is in {ja_name} {count} more time(s) '
                        f'than in {en_name}')
    en_blocks, ja_blocks = en.blocks + [None] * len(ja.blocks), ja.blocks + [None] * len(en.blocks)
    for index, (a, b) in enumerate(zip(en_blocks, ja_blocks), 1):
        if a is None and b is None:
            break
        if a is None or b is None or a[1] != b[1]:
            at_en = f'{en_name}:{a[0]}' if a else f'no such block in {en_name}'
            at_ja = f'{ja_name}:{b[0]}' if b else f'no such block in {ja_name}'
            detail = ''
            if a and b:
                pairs = itertools.zip_longest(a[1].splitlines(), b[1].splitlines(),
                                              fillvalue='(end of block)')
                line_en, line_ja = next((x, y) for x, y in pairs if x != y)
                detail = f': "{line_en}" against "{line_ja}"'
            problems.append(f'{where}: code block {index} differs ({at_en}; {at_ja}){detail}')
    return problems


def compare(en_text, ja_text, en_name='docs/mml.md', ja_name='docs/mml.ja.md'):
    (en, en_links), (ja, ja_links) = parse(en_text), parse(ja_text)
    problems = []
    matcher = difflib.SequenceMatcher(None, [s.key() for s in en], [s.key() for s in ja],
                                      autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag == 'equal':
            continue
        if tag == 'replace' and i2 - i1 == j2 - j1:
            for a, b in zip(en[i1:i2], ja[j1:j2]):
                problems += section_differences(a, b, en_name, ja_name)
            continue
        for s in en[i1:i2]:
            problems.append(f'{en_name}:{s.line}: section "{s.name()}" has no counterpart in '
                            f'{ja_name}: translate it there at the same place')
        for s in ja[j1:j2]:
            problems.append(f'{ja_name}:{s.line}: section "{s.name()}" has no counterpart in '
                            f'{en_name}')
    for name, sections, links in ((en_name, en, en_links), (ja_name, ja, ja_links)):
        seen = collections.Counter()
        anchors = {slug(s.title, seen) for s in sections[1:]}
        problems += [f'{name}:{line}: link to #{target} names no heading of {name}'
                     for line, target in links if target not in anchors]
    return problems


def self_test():
    en = ('# Guide\nSee [Tones](#tones).\n\n## Tones\n\nUse `@1` and `@2`.\n\n'
          '```\n0 @1 cde\n```\n\n### Noise: `@64`\n\nText.\n')
    ja = ('# 手引き\n[音色](#音色)を参照。\n\n## 音色\n\n`@2` と `@1` を使います。\n\n'
          '```\n0 @1 cde\n```\n\n### ノイズ: `@64`\n\n本文。\n')
    cases = [  # (English text, replaced by, problem expected)
        ('', '', None),
        ('### Noise', '## Noise', 'heading levels differ'),
        (' and `@2`', '', 'code span `@2` is in docs/mml.ja.md'),
        ('Use `@1`', 'Use `@1` `v1`', 'code span `v1` is in docs/mml.md 1'),
        ('0 @1 cde', '0 @1 cdef', '"0 @1 cdef" against "0 @1 cde"'),
        ('0 @1 cde\n', '0 @1 cde\n\n1 c\n', 'against "(end of block)"'),
        ('`@64`', '`@65`', 'different code spans'),
        ('Text.\n', 'Text.\n\n## Warnings\n\n`W1` is new.\n', '"## Warnings" has no counterpart'),
        ('(#tones)', '(#tone)', 'link to #tone names no heading'),
    ]
    failures = 0
    for old, new, expected in cases:
        problems = compare(en.replace(old, new) if old else en, ja)
        found = any(expected in p for p in problems) if expected else not problems
        if not found:
            failures += 1
            print(f'self-test: changing {old!r} to {new!r}: expected {expected or "no problem"!r}, '
                  f'got {problems}')
    return failures


def main(argv):
    if argv[1:] == ['--self-test']:
        return 1 if self_test() else 0
    root = pathlib.Path(__file__).resolve().parents[2]
    paths = [pathlib.Path(p) for p in argv[1:3]] or [root / 'docs/mml.md', root / 'docs/mml.ja.md']
    names = [str(p.resolve().relative_to(root)) if p.resolve().is_relative_to(root) else str(p)
             for p in paths]
    problems = compare(*(p.read_text(encoding='utf-8') for p in paths), *names)
    for problem in problems:
        print(problem)
    if problems:
        print(f'{len(problems)} difference(s): the Japanese guide must follow the English one '
              f'(same headings, code blocks and code spans per section).')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
