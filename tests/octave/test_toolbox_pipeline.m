% The toolbox around the module, end to end: cut an image, run the module
% with the tol for a target PSNR, assemble, and check what the user is told.

%!function [out, text] = call_module (varargin)
%!  out = cell (1, 7);
%!  text = evalc ('[out{1:7}] = TILEVISTA_Mex (varargin{:});');
%!endfunction

%!function img = test_image (h, w, c)
%!  % Smooth ramps plus a little texture, values 0..255.
%!  [x, y] = meshgrid (linspace (0, 1, w), linspace (0, 1, h));
%!  img = zeros (h, w, c);
%!  for k = 1:c
%!    img(:, :, k) = 120 + 80 * sin (3 * x * k + 2 * y) + 20 * cos (17 * x .* y);
%!  end
%!  img = uint8 (round (img));
%!endfunction

%!test
%! % Grey image whose size is not a multiple of the block: the tol from the
%! % target PSNR makes the module stop on tol, and the cropped result has at
%! % least the target PSNR (the padding adds to the squared residual the
%! % module measures, never to the cropped error).
%! img = test_image (21, 30, 1);
%! [blocks, info] = tilevista_blocks (img, 8);
%! D = tilevista_cosine_dictionary (8, 16);
%! tol = tilevista_tol_for_psnr (img, 40);
%! [out, text] = call_module (blocks, D, D, tol);
%! assert (! isempty (strfind (text, 'We have have reached (tol)')));
%! approx = tilevista_assemble (out{1}, info);
%! assert (size (approx), [21 30]);
%! assert (tilevista_psnr (img, approx, 255) >= 40);
%! assert (tilevista_sparsity_ratio (numel (img), out{7}) > 1);

%!test
%! % Colour: all channels in one call. A channel that is zero receives no
%! % atom, the choice being global; the others are approximated.
%! img = double (test_image (16, 16, 3));
%! img(:, :, 2) = 0;
%! [blocks, info] = tilevista_blocks (img, 4, 4);
%! assert (size (blocks), [4 12]);
%! D = tilevista_cosine_dictionary (4, 8);
%! out = call_module (blocks, D, D, tilevista_tol_for_psnr (img, 35, 255));
%! counts = cellfun (@numel, out{2});
%! assert (all (all (counts(:, 5:8) == 0)));
%! assert (all (counts(:, [1:4 9:12])(:) > 0));
%! approx = tilevista_assemble (out{1}, info);
%! assert (size (approx), [16 16 3]);
%! assert (approx(:, :, 2), zeros (16));
%! assert (tilevista_psnr (img, approx, 255) >= 35);
%! % The same call on the reference chooses the same atoms.
%! ref = cell (1, 8);
%! [ref{:}] = reference_block_pursuit (blocks, D, D, tilevista_tol_for_psnr (img, 35, 255));
%! assert (out{2}, ref{2});
%! assert (out{3}, ref{3});

%!test
%! % Approximation = sum of coefficient * atom, rebuilt from the index and
%! % coefficient outputs alone (identity up to rounding, 1e-9 of 255).
%! img = test_image (8, 12, 1);
%! [blocks, info] = tilevista_blocks (img, 4, 6);
%! Dy = tilevista_combine_dictionaries (tilevista_cosine_dictionary (4, 8), eye (4));
%! Dx = tilevista_cosine_dictionary (6, 12);
%! out = call_module (blocks, Dy, Dx, tilevista_tol_for_psnr (img, 30));
%! for i = 1:numel (blocks)
%!   rebuilt = zeros (4, 6);
%!   for j = 1:numel (out{2}{i})
%!     rebuilt = rebuilt + out{5}{i}(j) * Dy(:, out{2}{i}(j)) * Dx(:, out{3}{i}(j))';
%!   end
%!   assert (rebuilt, out{1}{i}, 255e-9);
%! end

%!test
%! % tests/data/cosine_dictionary.txt holds the bits of tilevista_cosine_dictionary
%! % for a few sizes; the C++ copy used by the benchmarks and the fuzzer is
%! % checked against it too (tests/test_pursuit_reference.cpp). With
%! % TILEVISTA_RECORD_COSINE=<file> the record is written there instead.
%! root = fileparts (fileparts (which ('tilevista_blocks')));
%! record = fullfile (root, 'tests', 'data', 'cosine_dictionary.txt');
%! target = getenv ('TILEVISTA_RECORD_COSINE');
%! if ! isempty (target)
%!   fid = fopen (target, 'w');
%!   fprintf (fid, '# The toolbox''s cosine dictionaries, bit for bit: one line per atom,\n');
%!   fprintf (fid, '# "n K k" (k 0-based) and the atom''s n values as IEEE-754 bits in hex.\n');
%!   fprintf (fid, '# Written by tests/octave/test_toolbox_pipeline.m (TILEVISTA_RECORD_COSINE).\n');
%!   for s = [8 16; 8 8; 5 13; 6 3; 1 4; 4 4; 16 32; 7 7]'
%!     D = tilevista_cosine_dictionary (s(1), s(2));
%!     for k = 1:s(2)
%!       fprintf (fid, '%d %d %d', s(1), s(2), k - 1);
%!       fprintf (fid, ' %s', cellstr (num2hex (D(:, k)))'{:});
%!       fprintf (fid, '\n');
%!     end
%!   end
%!   fclose (fid);
%!   record = target;
%! end
%! lines = strsplit (strtrim (fileread (record)), "\n");
%! lines = lines(! strncmp (lines, '#', 1));
%! assert (numel (lines) >= 80);
%! for k = 1:numel (lines)
%!   words = strsplit (strtrim (lines{k}));
%!   n = str2double (words{1});  K = str2double (words{2});  atom = str2double (words{3}) + 1;
%!   D = tilevista_cosine_dictionary (n, K);
%!   assert (num2hex (D(:, atom)), char (words(4:end)'), lines{k});
%! end
