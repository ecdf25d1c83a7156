function img = read_pgm(path)
%READ_PGM  Read an 8-bit binary PGM (P5) image as a uint8 matrix.
%   IMG = READ_PGM(PATH) returns the height x width pixels. The header holds
%   four white-space separated fields (magic, width, height, maximum value)
%   with '#' comments; one separator byte follows, then the pixels row by row.

  fid = fopen (path, 'r');
  if fid < 0
    error ('read_pgm: cannot open %s', path);
  end
  data = fread (fid, Inf, 'uint8=>uint8')';
  fclose (fid);
  if numel (data) < 2 || ~strcmp (char (data(1:2)), 'P5')
    error ('read_pgm: %s is not a binary PGM file', path);
  end
  pos = 3;
  fields = zeros (1, 3);
  for f = 1:3
    while isspace (char (data(pos))) || data(pos) == '#'
      if data(pos) == '#'
        while data(pos) ~= 10
          pos += 1;
        end
      end
      pos += 1;
    end
    start = pos;
    while data(pos) >= '0' && data(pos) <= '9'
      pos += 1;
    end
    fields(f) = str2double (char (data(start:pos-1)));
  end
  if fields(3) > 255
    error ('read_pgm: only 8-bit PGM is read');
  end
  pos += 1;
  w = fields(1);
  h = fields(2);
  img = reshape (data(pos:pos + w*h - 1), w, h)';
end
