"""The guess network in PyTorch; module names give the tensor names of the weight file."""

import torch
from torch import nn


class Block(nn.Module):
    def __init__(self, channels, kernel, dilation, groups):
        super().__init__()
        pad = dilation * (kernel - 1) // 2
        self.conv1 = nn.Conv1d(channels, channels, kernel, padding=pad, dilation=dilation)
        self.norm1 = nn.GroupNorm(groups, channels, eps=1e-5)
        self.conv2 = nn.Conv1d(channels, channels, kernel, padding=pad, dilation=dilation)
        self.norm2 = nn.GroupNorm(groups, channels, eps=1e-5)
        self.act = nn.GELU(approximate="tanh")

    def forward(self, h):
        t = self.act(self.norm1(self.conv1(h)))
        t = self.norm2(self.conv2(t))
        return self.act(h + t)


class GuessNet(nn.Module):
    """stem conv -> dilated residual blocks -> [mean, max, s0, s1] -> 3-layer head.

    Outputs 2P values: P normalised estimates, then P log-variances used only by
    the training loss.
    """

    def __init__(self, n_params, channels, kernel=5, groups=8, dilations=(1, 2, 4, 8)):
        super().__init__()
        c = channels
        self.stem = nn.Conv1d(3, c, kernel, padding=(kernel - 1) // 2)
        self.blocks = nn.ModuleList(Block(c, kernel, d, groups) for d in dilations)
        self.head = nn.Sequential(
            nn.Linear(2 * c + 2, 4 * c), nn.GELU(approximate="tanh"),
            nn.Linear(4 * c, 4 * c), nn.GELU(approximate="tanh"),
            nn.Linear(4 * c, 2 * n_params))

    def forward(self, feat, glob):
        h = self.stem(feat)
        for block in self.blocks:
            h = block(h)
        pooled = torch.cat([h.mean(dim=2), h.amax(dim=2), glob], dim=1)
        return self.head(pooled)
